#include "files.hpp"

#include <cinttypes>
#include <cstdlib>

#include "zecm.h"

namespace halvora {
namespace {

struct MemoryFreer {
    void operator()(void *memory) const { std::free(memory); }
};

}  // namespace

// The messages go to the process's own standard output, unflushed.
void *fileToDevice(const std::string &path, uint64_t size) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        std::printf("Failed to open image %s\n", path.c_str());
        return nullptr;
    }
    std::unique_ptr<void, MemoryFreer> host(std::malloc(size));
    if (!host) {
        file.reset();
        std::printf("Failed to malloc memory for image %s of size %" PRIu64 " bytes. \n", path.c_str(), size);
        return nullptr;
    }
    size_t read = std::fread(host.get(), 1, size, file.get());
    file.reset();
    if (read < size) {
        std::printf("Error: Failed to read file %s, size is not as expected. \n", path.c_str());
        return nullptr;
    }
    void *block = nullptr;
    if (zecmMalloc(size, &block) != 0) {
        if (block) zecmFree(block);
        return nullptr;
    }
    if (!block) return nullptr;
    if (zecmMemcpy(host.get(), block, size, zecmCT_COPY_TO_DEVICE) != 0) {
        zecmFree(block);
        return nullptr;
    }
    return block;
}

}  // namespace halvora

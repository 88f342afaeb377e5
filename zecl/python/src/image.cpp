// loadImage: a raw planar 4:2:0 frame file into a new device memory block.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "groups.hpp"
#include "zecm.h"

namespace halvora::zecl {
namespace {

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
struct MemoryFreer {
    void operator()(void *memory) const { std::free(memory); }
};

// The messages go to the process's own standard output, unflushed. Every
// failure returns None and leaves no file, host buffer or device block behind.
Handle loadImage(const std::string &path, int32_t width, int32_t height) {
    uint64_t size = static_cast<uint64_t>(static_cast<uint32_t>(width)) *
                    static_cast<uint32_t>(height) * 3 >> 1;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
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

}  // namespace

void registerLoadImage(py::module_ &m) { m.def("loadImage", &loadImage, "load test image"); }

}  // namespace halvora::zecl

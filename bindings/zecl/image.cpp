// loadImage: a raw planar 4:2:0 frame file into a new device memory block.
#include "files.hpp"
#include "groups.hpp"

namespace halvora::zecl {

void registerLoadImage(py::module_ &m) {
    m.def(
        "loadImage",
        [](const std::string &path, int32_t width, int32_t height) -> Handle {
            uint64_t size = static_cast<uint64_t>(static_cast<uint32_t>(width)) * static_cast<uint32_t>(height) * 3 >>
                            1;
            return fileToDevice(path, size);
        },
        "load test image");
}

}  // namespace halvora::zecl

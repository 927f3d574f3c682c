// Any bytes as labels.dat: sixteen labels of at most 19 bytes, none holding a zero byte, and the
// table survives its own image unchanged.
#include "model/LabelTable.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const labels::LabelTable table =
        labels::decodeLabelImage(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const std::string& label : table)
        if (label.size() > labels::kMaxLabelLength || label.find('\0') != std::string::npos)
            std::abort();
    const labels::LabelImage image = labels::encodeLabelImage(table);
    if (labels::decodeLabelImage(std::string_view(image.data(), image.size())) != table)
        std::abort();
    return 0;
}

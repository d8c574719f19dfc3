// Arbitrary bytes through the UTF-8 repair must give what the plain model in
// utf8_reference.h gives, and the result must come back unchanged.
#include "utf8_reference.h"
#include "utf8_repair.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string repaired = repair_utf8(input);
    if (repaired != utf8_reference::repair(input))
        std::abort();
    if (repair_utf8(repaired) != repaired)
        std::abort();
    return 0;
}

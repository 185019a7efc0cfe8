// The readers of entry listings, fed with any text: the service stage and
// the registry stage read their sections from an exactly sized copy (the
// sanitizers catch any read past it) and leave the cursor inside it.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "removers/registry.h"
#include "removers/services.h"

namespace {

// Runs a stage on a fresh, exactly sized, terminated copy of the text.
template <class Stage> void RunOn(const uint8_t *data, size_t size, Stage stage) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    ListingCursor cursor = {0, 0, nullptr, text.data()};
    stage(&cursor);
    fuzz::Require(cursor.Position >= text.data() && cursor.Position <= text.data() + size,
                  "the cursor stays inside the listing");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FreshMachine();
    sim::PlantKey("HKCU\\Software\\Zeltra\\Sub");
    sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra");
    sim::PlantService("ZeltraWebServer", sim::ServiceScript{});
    RunOn(data, size, StopServices);
    RunOn(data, size, RemoveRegistry);
    return 0;
}

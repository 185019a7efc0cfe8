// The stages of the shipped program, in the order the run calls them.
// A stage joins the table once it is built; README's status line says which
// stages the program has.
#include "core/removal_run.h"
#include "removers/folders.h"
#include "removers/services.h"
#include "removers/registry.h"

namespace {

const Stage kProductionStages[] = {
    {1, "/*========== 1:: StopServices ===============*/\r\n", StopServices, false, false},
    {2, "/*========== 2:: RemoveFolders ===============*/\r\n", RemoveFolders, false, false},
    {4, "/*========== 3:: RemoveRegistry ===============*/\r\n", RemoveRegistry, false, false},
};

} // namespace

const Stage *ProductionStages(size_t *count) {
    *count = sizeof kProductionStages / sizeof kProductionStages[0];
    return kProductionStages;
}

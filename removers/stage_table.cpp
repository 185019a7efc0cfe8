// The stages of the shipped program, in the order the run calls them, each
// with the bit it sets in the run's result mask when it fails. The SQL
// instance stage runs in complete removal only, on listings of its own.
#include "core/removal_run.h"
#include "removers/folders.h"
#include "removers/registry.h"
#include "removers/services.h"
#include "removers/sql_instance.h"

namespace {

const Stage kProductionStages[] = {
    {1, "/*========== 1:: StopServices ===============*/\r\n", StopServices, false, false},
    {2, "/*========== 2:: RemoveFolders ===============*/\r\n", RemoveFolders, false, false},
    {4, "/*========== 3:: RemoveRegistry ===============*/\r\n", RemoveRegistry, false, false},
    {8, "/*========== 4:: RemoveSQLInstance ===============*/\r\n", RemoveSQLInstance, true, true},
};

} // namespace

const Stage *ProductionStages(size_t *count) {
    *count = sizeof kProductionStages / sizeof kProductionStages[0];
    return kProductionStages;
}

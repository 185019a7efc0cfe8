// The rewrite of SQL Server's "InstalledInstances": any value type, any
// bytes, any size. The value is left as it was, or rewritten as the list it
// held (every name, past empty strings, which go) without our instance's
// name, as a REG_MULTI_SZ; nothing is read or written past a buffer.
#include <cctype>
#include <cstdint>
#include <optional>

#include "fuzz_support.h"
#include "removers/sql_instance.h"

namespace {

const char kRoot[] = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server";

bool IsOurs(const std::string &name) {
    if (name.size() != 12)
        return false;
    for (size_t i = 0; i < 12; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "VUVURIDIVUZO"[i])
            return false;
    return true;
}

// What the rewrite must leave: nullopt when the value stays as it was.
std::optional<std::string> ExpectedRewrite(const std::string &value) {
    if (value.size() > 1024 || value.size() == 1)
        return std::nullopt;
    std::string kept;
    bool found = false;
    for (size_t at = 0; at < value.size();) {
        size_t end = value.find('\0', at);
        std::string name = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (IsOurs(name))
            found = true;
        else if (!name.empty())
            kept += name + '\0';
        at += name.size() + 1;
    }
    if (!found)
        return std::nullopt;
    return kept + '\0';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    fuzz::FreshMachine();
    sim::PlantService("SqlWriter", sim::ServiceScript{});
    const std::string value(reinterpret_cast<const char *>(data) + 1, size - 1);
    sim::PlantValue(kRoot, "InstalledInstances", data[0] % 12, value);
    ListingCursor cursor = {0, 0, nullptr, nullptr};
    RemoveSQLInstance(&cursor);
    auto after = sim::KeyValue(kRoot, "InstalledInstances");
    fuzz::Require(after.has_value(), "the value is still there");
    std::optional<std::string> expected = ExpectedRewrite(value);
    if (!expected) {
        fuzz::Require(after->data == value && after->type == data[0] % 12u, "an unmatched list is left alone");
    } else {
        fuzz::Require(after->type == REG_MULTI_SZ, "the rewrite is a REG_MULTI_SZ");
        fuzz::Require(after->data == *expected, "the rewrite keeps every other name, in order");
    }
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the readers of configuration-style files: the administration
// configuration, the password file, the single-key lookup and the line
// arrays of key=value files, all reading the same bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "admin.h"
#include "fuzz_support.h"
#include "utils.h"

using zt::fuzz::check;

namespace {

std::string root;
std::string config_path;

void write_file(const uint8_t *data, size_t size) {
    FILE *out = std::fopen(config_path.c_str(), "wb");
    check(out != nullptr, "the input file can be written");
    std::fwrite(data, 1, size, out);
    std::fclose(out);
}

void read_as_configuration() {
    AdminConfig *zta = allocate_zta();
    check(read_config_file(zta, config_path.c_str()) == 0, "every readable file reads");
    check_zta(zta);
    free_zta(zta);
    AdminStatus status;
    std::free(read_passwd_file(config_path.c_str(), &status));
    std::free(get_ztadmin_info("admin.server.name"));
    std::free(get_defaultlocale());
}

void read_as_line_array() {
    std::vector<char *> lines(ZT_MAX_LINES + 1, nullptr);
    int count = file_to_array(config_path.c_str(), lines.data());
    check(count >= 0 && count <= ZT_MAX_LINES, "at most 1000 lines");
    std::free(get_value(lines.data(), count, "NAME"));
    key_index_of(lines.data(), count, "NAME");
    same_keyValue(lines.data(), "NAME", "v\n");
    replace_line(lines.data(), count, "=", "x");
    append_line(lines.data(), &count, "NAME", "v");
    char **copy = nullptr;
    merge_keyValue_arrays(&copy, lines.data());
    merge_keyValue_arrays(&copy, lines.data());
    zt_free_array(copy);
    if (count > 0) std::free(zt_safe_str(lines[0]));
    free_string_array(lines.data(), count);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    root = "/tmp/ztfuzz." + std::to_string(getpid());
    std::filesystem::create_directories(root + "/etc/opt/KRVXzt");
    config_path = root + "/etc/opt/KRVXzt/ztadmin.conf";
    setenv("ZTADMIN_ROOT", root.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    set_suppress_output(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_file(data, size);
    read_as_configuration();
    read_as_line_array();
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_ds_config.cc - feeds arbitrary bytes to the data-store configuration
// reader: first line by line through fp_getline and fp_parse_line, checking
// the shape of every logical line and token, then as a whole file through
// read_ds_config.
//
// fp_parse_line ends the process on a line of more than 100 tokens; such
// inputs are counted beforehand and skipped rather than fuzz the exit.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "admin_private.h"

namespace {

constexpr int kBufferSize = 1024;
constexpr int kLineSize = 1000;
constexpr int kMaxTokens = 100;

void check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

int count_tokens(const char *line) {
    std::string copy(line);
    char *next = nullptr;
    int count = 0;
    for (char *t = strtok_quote(copy.data(), " \t", &next); t != nullptr; t = strtok_quote(nullptr, " \t", &next))
        ++count;
    return count;
}

// Checks one logical line and its tokens; false when it has too many.
bool check_line(const char *line) {
    size_t length = std::strlen(line);
    check(length < static_cast<size_t>(kLineSize), "line below the line size");
    check(line[0] != '#', "comments never start a line");
    int expected = count_tokens(line);
    if (expected > kMaxTokens) return false;
    std::string copy(line);
    char *argv[kMaxTokens + 1];
    int argc = -1;
    fp_parse_line(copy.data(), &argc, argv, kMaxTokens);
    check(argc == expected, "token count is stable");
    check(argv[argc] == nullptr, "argv closed by a null entry");
    size_t total = 0;
    for (int i = 0; i < argc; ++i) {
        check(argv[i] >= copy.data() && argv[i] < copy.data() + copy.size(), "token inside the line");
        check(std::strpbrk(argv[i], "\"\\") == nullptr, "quotes and backslashes removed");
        total += std::strlen(argv[i]);
    }
    check(total <= length, "tokens no longer than the line");
    return true;
}

// Walks all logical lines; false when one had too many tokens.
bool walk_lines(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    FILE *fp = size > 0 ? fmemopen(text.data(), size, "r") : std::fopen("/dev/null", "r");
    check(fp != nullptr, "input opened");
    char buf[kBufferSize] = "";
    char line[kLineSize];
    int lineno = -1;
    bool usable = true;
    for (;;) {
        int before = lineno;
        int rc = fp_getline(fp, &lineno, buf, kBufferSize, line, kLineSize);
        check(rc == 0 || rc == -1 || rc == ADMIN_ERR_NO_MORE_DATA, "known result");
        if (rc != 0) break;
        check(lineno > before, "counter moves on");
        check(std::strlen(buf) < static_cast<size_t>(kBufferSize), "look-ahead within its buffer");
        if (!check_line(line)) usable = false;
    }
    std::fclose(fp);
    return usable;
}

// A private root holding the configuration file that read_ds_config opens.
std::string config_file() {
    static std::string path = [] {
        char root[] = "/tmp/fuzz_ds_config.XXXXXX";
        check(mkdtemp(root) != nullptr, "temporary root");
        setenv("ZTADMIN_ROOT", root, 1);
        std::string dir = std::string(root) + "/etc/opt/KRVXzt/qmds/current";
        std::string command = "mkdir -p " + dir;
        check(std::system(command.c_str()) == 0, "configuration directory");
        return zt::fixed_path(zt::kDsConfigPath);
    }();
    return path;
}

void read_whole(const uint8_t *data, size_t size) {
    {
        std::ofstream out(config_file(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    BackendList list{};
    AdminStatus status = read_ds_config(&list);
    if (status != ADMIN_SUCCESS) check(list.count == 0 && list.backends == nullptr, "failure empties the list");
    check(list.count <= list.capacity, "count within capacity");
    Backend *backend = select_backend(&list, "o=ztdata");
    check(backend == nullptr || (backend >= list.backends && backend < list.backends + list.count),
          "selected backend is in the list");
    free_backend(&list);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    set_suppress_output(1);  // keep the system log quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (walk_lines(data, size)) read_whole(data, size);
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// utils_lists.cc - keyed lists, growable text arrays, line arrays of
// configuration files, text escaping and the package lookup.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "admin_private.h"
#include "utils.h"

extern "C" {

AdminStatus zt_add_array(char ***array, char *text) {
    if (array == nullptr || text == nullptr) return ADMIN_ERR_INVALID_ARGS;
    int count = num_strings(*array);
    auto *grown = static_cast<char **>(std::realloc(*array, sizeof(char *) * static_cast<size_t>(count + 2)));
    if (grown == nullptr) return ADMIN_ERR_NO_MEMORY;
    grown[count] = text;
    grown[count + 1] = nullptr;
    *array = grown;
    return ADMIN_SUCCESS;
}

void zt_free_array(char **array) {
    if (array == nullptr) return;
    for (char **entry = array; *entry != nullptr; ++entry) std::free(*entry);
    std::free(array);
}

int num_strings(char **array) {
    int count = 0;
    if (array != nullptr) {
        while (array[count] != nullptr) ++count;
    }
    return count;
}

}  // extern "C"

// ------------------------------------------------------------ keyed lists

namespace {

// True when a node with key `node_key` comes before a new node with key
// `key` in a list kept in `order` (0 ascending, 1 descending).
bool stays_before(const char *node_key, const char *key, int order) {
    int cmp = std::strcmp(node_key, key);
    return order == 0 ? cmp < 0 : cmp > 0;
}

}  // namespace

extern "C" {

LinkedListNode *zt_allocLinkedListNode(void) {
    return static_cast<LinkedListNode *>(std::calloc(1, sizeof(LinkedListNode)));
}

AdminStatus zt_addNode2List(LinkedListNode **list, char *key, void *data, int order) {
    if (list == nullptr || key == nullptr || data == nullptr) return ADMIN_ERR_INVALID_ARGS;
    if (order != 0 && order != 1) return ADMIN_ERR_INVALID_ARGS;
    LinkedListNode *node = zt_allocLinkedListNode();
    if (node == nullptr) return ADMIN_ERR_NO_MEMORY;
    node->key = key;
    node->data = data;
    LinkedListNode **link = list;
    while (*link != nullptr && stays_before((*link)->key, key, order)) link = &(*link)->next;
    node->next = *link;
    *link = node;
    return ADMIN_SUCCESS;
}

AdminStatus zt_findLinkedListNode(LinkedListNode *list, const char *key, void **data) {
    if (list == nullptr || key == nullptr || data == nullptr) return ADMIN_ERR_INVALID_ARGS;
    for (LinkedListNode *node = list; node != nullptr; node = node->next) {
        if (node->key != nullptr && std::strcmp(node->key, key) == 0) {
            *data = node->data;
            return ADMIN_SUCCESS;
        }
    }
    return ADMIN_ERR_NOT_FOUND;
}

void zt_freeLinkedListNode(LinkedListNode *node, void (*free_data)(void *)) {
    if (node == nullptr) return;
    std::free(node->key);
    if (free_data != nullptr) free_data(node->data);
    std::free(node);
}

void zt_freeLinkedList(LinkedListNode *list, void (*free_data)(void *)) {
    while (list != nullptr) {
        LinkedListNode *next = list->next;
        zt_freeLinkedListNode(list, free_data);
        list = next;
    }
}

}  // extern "C"

// ------------------------------------------------------------ line arrays

namespace {

constexpr int kLineBuffer = ZT_MAX_LINE_LEN + 1;

bool is_value_space(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The second "="-separated token of a line, runs of "=" counting as one
// separator and leading ones ignored.
std::string_view second_token(std::string_view line) {
    size_t start = line.find_first_not_of('=');
    if (start == std::string_view::npos) return {};
    size_t end_of_first = line.find('=', start);
    if (end_of_first == std::string_view::npos) return {};
    size_t value_start = line.find_first_not_of('=', end_of_first);
    if (value_start == std::string_view::npos) return {};
    size_t value_end = line.find('=', value_start);
    return line.substr(value_start, value_end == std::string_view::npos ? value_end : value_end - value_start);
}

std::string_view trim_value(std::string_view text) {
    while (!text.empty() && is_value_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_value_space(text.back())) text.remove_suffix(1);
    return text;
}

// "key=value\n" cut to the longest line a line array holds.
char *format_line(const char *key, const char *value) {
    std::string line = std::string(key) + "=" + value + "\n";
    if (line.size() > ZT_MAX_LINE_LEN) line.resize(ZT_MAX_LINE_LEN);
    return zt::dup_c(line);
}

char *copy_or_null(const char *text) {
    size_t size = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

// Appends a copy of `line` to the null-terminated `array` at `*filled`;
// false when memory runs out.
bool append_copy(char **array, int *filled, const char *line) {
    char *copy = copy_or_null(line);
    if (copy == nullptr) return false;
    array[(*filled)++] = copy;
    return true;
}

// A new null-terminated array: copies of `destination`, then copies of the
// `source` lines whose key the destination lacks.  Null when memory runs out.
char **merged_copy(char **destination, char **source) {
    int count = num_strings(destination);
    auto *merged =
        static_cast<char **>(std::calloc(static_cast<size_t>(count + num_strings(source)) + 1, sizeof(char *)));
    if (merged == nullptr) return nullptr;
    int filled = 0;
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) ok = append_copy(merged, &filled, destination[i]);
    for (char **line = source; ok && *line != nullptr; ++line) {
        if (key_index_of(destination, count, *line) < 0) ok = append_copy(merged, &filled, *line);
    }
    if (ok) return merged;
    zt_free_array(merged);
    return nullptr;
}

}  // namespace

extern "C" {

int file_to_array(const char *path, char **lines) {
    if (path == nullptr || lines == nullptr) return -1;
    zt::FilePtr in(std::fopen(path, "r"));
    if (!in) return -1;
    int count = 0;
    char buffer[kLineBuffer];
    while (count < ZT_MAX_LINES && std::fgets(buffer, sizeof buffer, in.get()) != nullptr) {
        lines[count++] = safe_strdup(buffer);
    }
    lines[count] = nullptr;
    return count;
}

int array_to_file(const char *path, char **lines, int count) {
    if (path == nullptr) return -1;
    zt::FilePtr out(std::fopen(path, "w"));
    if (!out) return -1;
    for (int i = 0; lines != nullptr && i < count; ++i) {
        if (lines[i] != nullptr && lines[i][0] != '\0') std::fputs(lines[i], out.get());
    }
    return 0;
}

void free_string_array(char **lines, int count) {
    if (lines == nullptr) return;
    for (int i = 0; i < count; ++i) {
        std::free(lines[i]);
        lines[i] = nullptr;
    }
}

int index_of(char **lines, int count, const char *key) {
    if (lines == nullptr || count < 1 || key == nullptr) return -1;
    for (int i = 0; i < count; ++i) {
        const char *line = lines[i];
        if (line == nullptr || line[0] == '#') continue;
        if (std::strstr(line, key) != nullptr && std::strstr(line, "ulimit") == nullptr) return i;
    }
    return -1;
}

int key_index_of(char **lines, int count, const char *key) {
    if (lines == nullptr || count < 1 || key == nullptr) return -1;
    for (int i = 0; i < count && lines[i] != nullptr; ++i) {
        const char *equals = std::strchr(lines[i], '=');
        if (equals == nullptr) break;
        if (std::strncmp(lines[i], key, static_cast<size_t>(equals - lines[i])) == 0) return i;
    }
    return -1;
}

char *get_value(char **lines, int count, const char *key) {
    int index = index_of(lines, count, key);
    if (index < 0) return nullptr;
    std::string_view value = trim_value(second_token(lines[index]));
    if (value.empty()) return nullptr;
    auto *copy = static_cast<char *>(std::malloc(value.size() + 1));
    if (copy == nullptr) {
        zt::dprintf("Error: strdup - Unable to allocate memory.\n");
        return nullptr;
    }
    std::memcpy(copy, value.data(), value.size());
    copy[value.size()] = '\0';
    return copy;
}

int replace_line(char **lines, int count, const char *key, const char *value) {
    if (lines == nullptr || key == nullptr || value == nullptr) return -1;
    int index = index_of(lines, count, key);
    if (index < 0) return -1;
    std::free(lines[index]);
    lines[index] = format_line(key, value);
    return 0;
}

int append_line(char **lines, int *count, const char *key, const char *value) {
    if (lines == nullptr || count == nullptr || key == nullptr || value == nullptr) return -1;
    if (*count < 0 || *count >= ZT_MAX_LINES) return -1;
    lines[*count] = format_line(key, value);
    ++*count;
    lines[*count] = nullptr;
    return 0;
}

int same_keyValue(char **lines, const char *key, const char *value) {
    if (value == nullptr) return 0;
    int index = key_index_of(lines, num_strings(lines), key);
    if (index < 0) return 0;
    std::string_view line(lines[index]);
    std::string_view rest = line.substr(line.find('=') + 1);
    return rest.substr(0, rest.find('=')) == value ? 1 : 0;
}

AdminStatus merge_keyValue_arrays(char ***destination, char **source) {
    if (destination == nullptr) return ADMIN_ERR_INVALID_ARGS;
    if (source == nullptr) return ADMIN_SUCCESS;
    char **merged = merged_copy(*destination, source);
    if (merged == nullptr) {
        zt::dprintf("Error: merge_keyValue_arrays - Not enough memory.\n");
        return ADMIN_ERR_NO_MEMORY;
    }
    zt_free_array(*destination);
    *destination = merged;
    return ADMIN_SUCCESS;
}

}  // extern "C"

// ---------------------------------------------------------- text escaping

namespace {

constexpr const char *kHtmlSpecial = "<>\"&";

size_t escaped_length(const char *text) {
    size_t length = 0;
    for (const char *c = text; *c != '\0'; ++c) length += std::strchr(kHtmlSpecial, *c) != nullptr ? 6 : 1;
    return length;
}

}  // namespace

extern "C" {

char *zt_safe_str(const char *text) {
    if (text == nullptr || *text == '\0') return safe_strdup("&nbsp;");
    size_t length = escaped_length(text);
    auto *result = static_cast<char *>(std::malloc(length + 1));
    if (result == nullptr) {
        zt::dprintf("Error: realloc failed. Out of Memory.");
        return nullptr;
    }
    char *out = result;
    for (const char *c = text; *c != '\0'; ++c) {
        if (std::strchr(kHtmlSpecial, *c) != nullptr) {
            // "&#" + three decimal digits + ";": every special character is below 100.
            int code = static_cast<unsigned char>(*c);
            *out++ = '&';
            *out++ = '#';
            *out++ = static_cast<char>('0' + code / 100);
            *out++ = static_cast<char>('0' + code / 10 % 10);
            *out++ = static_cast<char>('0' + code % 10);
            *out++ = ';';
        } else {
            *out++ = *c;
        }
    }
    *out = '\0';
    return result;
}

}  // extern "C"

// --------------------------------------------------------- package lookup

namespace {

// The command line is limited by the 128-byte buffer it historically had.
constexpr size_t kMaxPackageName = 98;
constexpr int kPkginfoLine = 128;

// The package name reaches a shell: only plain name characters pass.
bool is_safe_package_name(const char *name) {
    size_t length = std::strlen(name);
    if (length == 0 || length > kMaxPackageName) return false;
    for (const char *c = name; *c != '\0'; ++c) {
        bool plain = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
                     std::strchr("._+-", *c) != nullptr;
        if (!plain) return false;
    }
    return true;
}

// Reads the command's output; true when it was exactly one line (of at most
// 127 bytes), which is then left in `line`.
bool read_single_line(FILE *pipe, char (&line)[kPkginfoLine]) {
    if (std::fgets(line, sizeof line, pipe) == nullptr) return false;
    char extra[kPkginfoLine];
    return std::fgets(extra, sizeof extra, pipe) == nullptr;
}

}  // namespace

std::string zt::shell_word(const std::string &path) {
    if (path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-/") ==
        std::string::npos) {
        return path;
    }
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

extern "C" {

char *get_package_root(const char *package) {
    if (package == nullptr || !is_safe_package_name(package)) {
        zt::dprintf("get_package_root(): Invalid package name\n");
        return nullptr;
    }
    std::string program = zt::shell_word(zt::platform_path(zt::kPkginfoProgram));
    std::string command = program + " -r " + package + " 2> /dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        zt::dprintf("get_package_root(): Could not open pipe to determine locale dir\n");
        return nullptr;
    }
    char line[kPkginfoLine];
    if (!read_single_line(pipe, line)) {
        zt::dprintf("get_package_root(): Got unexpected data from pkginfo\n");
        pclose(pipe);
        return nullptr;
    }
    if (pclose(pipe) != 0) {
        zt::dprintf("get_package_root(): Could not get package location\n");
        return nullptr;
    }
    line[std::strcspn(line, "\n")] = '\0';
    return safe_strdup(line);
}

}  // extern "C"

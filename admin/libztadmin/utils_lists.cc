// utils_lists.cc - keyed lists, growable text arrays, line arrays of
// configuration files and text escaping.
#include <cstdlib>
#include <cstring>

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

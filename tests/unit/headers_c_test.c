/* The public headers must compile as C99 and link against the library. */
#include "admin.h"
#include "utils.h"
#include "zterrno.h"

#include <string.h>

int main(void) {
    /* A call into the library proves the declarations match the symbols. */
    return strcmp(zt_err2str(ADMIN_SUCCESS), "Success") == 0 ? 0 : 1;
}

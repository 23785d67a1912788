/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * utils.h - text, argument, list and file utilities shared by the command
 * and the administration library.
 *
 * Conventions: strings are zero-terminated byte strings; an absent (NULL)
 * string is distinct from an empty one.  Every function that returns a new
 * string or array returns it in malloc'd memory that the caller releases
 * with free() or the matching free_* function.  safe_malloc() and
 * safe_calloc() never return failure: they end the process with status 1.
 */
#ifndef ZT_UTILS_H
#define ZT_UTILS_H

#include <stdio.h>
#include <time.h>

#include "zterrno.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: what this header declares is
 * what it exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ------------------------------------------------------------ allocation */
void *safe_malloc(int size);
void *safe_calloc(int count, int size);
char *safe_strdup(const char *s);
int safe_strcmp(const char *a, const char *b);
/* `s` itself, or "" (p) or "&nbsp;" (p2) when it is absent. */
const char *p(const char *s);
const char *p2(const char *s);
char *itos(int n);
char *strip_leading_and_trailing_whitespace(const char *s);
char *strip_leading_and_trailing_quotes(const char *s);
int is_numeric(const char *s);
char *escape(const char *s, char c);
char *scramble_text(const char *s);
/* A static buffer overwritten by the next call: not to be freed. */
char *indent_spaces(int level);
/* "%m/%d/%Y %H:%M:%S" (or the locale's "%c") in local time; "" when the
 * time cannot be shown. */
char *time_field_to_time_string(time_t t);
char *time_field_to_time_string_i18n(time_t t);
int is_substring(const char *text, const char *part);
char *zt_filetobuf(FILE *stream);
int num_strings(char **array);
void set_env_var(const char *name, const char *value);
/* The environment's own text, not a copy: not to be freed. */
char *get_env_var(const char *name);

/* ------------------------------------------------------- argument arrays */
/* Splits `text` at unescaped separators into trimmed fields (at least one).
 * A field of 512 characters or more ends the process with status 1. */
char **parse_args(const char *text, char separator);
int count_args(char **args);
void free_args(char **args);
char **zt_alloc_args_storage(int n, int length);

/* One node of the raw-token-ID list of an add request, in input order. */
typedef struct RawTokenIdNode {
    char *id;
    struct RawTokenIdNode *next;
} RawTokenIdNode;

void add_to_raw_token_id_list(RawTokenIdNode **list, const char *id);
void free_raw_token_list(RawTokenIdNode **list);

/* ------------------------------------------------------- line splitting */
int parse_key_and_value(const char *line, char **key, char **value);
/* `fields` must have room for every field of `line` (at most half its
 * length, rounded up). */
int make_fields(char *line, char **fields);

/* ------------------------------------------------- logging and debugging */
/* dprintf/dlprintf/log_admin live in namespace zt (admin_private.h): the
 * name dprintf is taken by the C library. */
extern int suppress_output;
void set_suppress_output(int flag);
void set_gdebug(const char *options);
int gdebug(const char *category);

/* ------------------------------------------------- terminal identifiers */
/* On failure *error_text points to a constant message (not to be freed). */
char *zt_normalize_CID(const char *cid, char *out, int out_size, const char **error_text);
int zt_validate_multihead_group_name(const char *name, const char **error_text);

/* ------------------------------------------------------ package lookup */
/* The base directory of an installed package, or NULL.  Names over 98 bytes
 * or with characters other than letters, digits and "._+-" are refused. */
char *get_package_root(const char *package);

/* ------------------------------------------------- keyed lists, arrays */
typedef struct LinkedListNode {
    char *key;
    void *data;
    struct LinkedListNode *next;
} LinkedListNode;

LinkedListNode *zt_allocLinkedListNode(void);
AdminStatus zt_addNode2List(LinkedListNode **list, char *key, void *data, int order);
AdminStatus zt_findLinkedListNode(LinkedListNode *list, const char *key, void **data);
void zt_freeLinkedListNode(LinkedListNode *node, void (*free_data)(void *));
void zt_freeLinkedList(LinkedListNode *list, void (*free_data)(void *));
AdminStatus zt_add_array(char ***array, char *text);
void zt_free_array(char **array);

/* --------------------------------------------------------- line arrays */
/* A line array holds up to ZT_MAX_LINES lines of at most ZT_MAX_LINE_LEN
 * bytes each and has room for ZT_MAX_LINES + 1 entries: file_to_array and
 * append_line keep a null entry after the last line.  The caller keeps the
 * line count beside it. */
#define ZT_MAX_LINES 1000
#define ZT_MAX_LINE_LEN 255

int file_to_array(const char *path, char **lines);
int array_to_file(const char *path, char **lines, int count);
void free_string_array(char **lines, int count);
int index_of(char **lines, int count, const char *key);
int key_index_of(char **lines, int count, const char *key);
char *get_value(char **lines, int count, const char *key);
int replace_line(char **lines, int count, const char *key, const char *value);
int append_line(char **lines, int *count, const char *key, const char *value);
int same_keyValue(char **lines, const char *key, const char *value);
AdminStatus merge_keyValue_arrays(char ***destination, char **source);

/* -------------------------------------------------------- text escaping */
char *zt_safe_str(const char *text);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZT_UTILS_H */

/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * admin.h - the administration library: records, connection and entry
 * points shared by ztuser and the server's other administration tools.
 *
 * Conventions
 *  - Results are AdminStatus values (zterrno.h): 0 on success, a negative
 *    code on failure, unless a function's comment says otherwise.
 *  - Every record or string handed to a caller is malloc'd and owned by the
 *    caller, who releases it with the matching free_* function (or free()
 *    for plain strings).  Strings borrowed from a record (get_server_name)
 *    are not freed.
 *  - An absent (NULL) string is distinct from an empty one; ID lists are
 *    NULL-terminated char ** arrays.
 *  - Nothing is thrown across this interface; composite operations do not
 *    roll back what they wrote before a failure.
 *  - Diagnostics go to the system log, never to the terminal.
 *  - The process and its environment: the first session the library opens
 *    runs libldap's one-time initialisation with the system's LDAP
 *    configuration only.  For that moment it removes HOME and every LDAP*
 *    variable (LDAPCONF, LDAPRC, LDAPURI, LDAPSIZELIMIT, LDAPTLS_*, ...)
 *    from the environment and changes the working directory to "/", then
 *    puts both back; a program whose other threads read the environment or
 *    use relative paths should make its first connection before starting
 *    them.  A program that used libldap before has already had its
 *    initialisation, with its own settings.  While a connection at access
 *    level 3 holds the password read from the password file, the process
 *    is not dumpable (no core dump, no tracing by its user); it becomes
 *    dumpable again, if it was, when the last such connection is freed.
 */
#ifndef ZT_ADMIN_H
#define ZT_ADMIN_H

#include <stdio.h>
#include <ldap.h>

#include "zterrno.h"

/* <ndbm.h> has neither an include guard nor C linkage of its own: include
 * it only through here. */
#ifndef ZT_NDBM_INCLUDED
#define ZT_NDBM_INCLUDED
#ifdef __cplusplus
extern "C" {
#endif
#include <ndbm.h>
#ifdef __cplusplus
}
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: what this header declares is
 * what it exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ================================================ configuration, connection */

#define AUTH_SIMPLE   0
#define AUTH_CRAM_MD5 1

/* Transport security of the sessions ("admin.server.tls"): none, or
 * StartTLS with the server's certificate and name verified before the
 * bind.  An unknown setting makes every session fail. */
#define ZT_TLS_INVALID  (-1)
#define ZT_TLS_NONE     0
#define ZT_TLS_STARTTLS 1

/* The administration configuration and, at the same time, the connection. */
typedef struct AdminConfig {
    LDAP *session;           /* session with the configured server */
    int access_level;        /* 1 anonymous, 2, 3 (password file), 4 */
    char *server_name;
    int server_port;
    char *user_name;         /* bind DN */
    char *subtree;           /* root of all administration entries */
    char *default_locale;
    DBM *dstatus_db;
    DBM *ustatus_db;
    char *dstatus_dbfile;
    char *ustatus_dbfile;
    int auth_mech;           /* AUTH_CRAM_MD5 or AUTH_SIMPLE */
    char *password;          /* bind password in clear */
    LDAP *primary_session;   /* session with the primary, see zt_LDAPexec */
    char *primary_name;
    int tls_mode;            /* ZT_TLS_NONE, ZT_TLS_STARTTLS or ZT_TLS_INVALID */
    char *tls_cacert;        /* CA file the server's certificate is checked
                                against; absent: the LDAP library's default */
    int op_timeout;          /* seconds any wait for a directory server's
                                answer may take ("admin.server.optimeout",
                                default 120); 0: no limit */
} AdminConfig;

/* Time-out in seconds for the primary's reachability check and for the
 * connect of every directory session; 0: no limit. */
extern int DStimeout;

AdminConfig *allocate_zta(void);
AdminStatus read_config_file(AdminConfig *zta, const char *path);
AdminConfig *set_zta_val(AdminConfig *zta, const char *key, const char *value);
int check_zta(const AdminConfig *zta);
void free_zta(AdminConfig *zta);
int DSauth(const char *mechanism);
char *read_passwd_file(const char *path, AdminStatus *status);
char *get_defaultlocale(void);
char *get_ztadmin_info(const char *key);

AdminConfig *open_connection(int access_level, const char *user, const char *password,
                             const char *config_path, AdminStatus *status);
AdminConfig *_zt_dsConnect(int access_level, const char *user, const char *password,
                           const char *config_path, const char *server, AdminStatus *status);
LDAP *_zt_LDAPopen(const char *bind_dn, const char *password, const char *host, int port,
                   int auth_mech, AdminStatus *status);
int _zt_ldap_sasl_cram_md5_bind_s(LDAP *session, const char *bind_dn, struct berval *credentials,
                                  LDAPControl **server_controls, LDAPControl **client_controls);
int close_connection(AdminConfig *connection);
const char *get_server_name(const AdminConfig *connection);

/* ======================================================= write executor */

#define DS_OP_ADD    1
#define DS_OP_DELETE 2
#define DS_OP_MODIFY 3

#define DS_KEEP_PRIMARY 1
#define DS_RETRY        2
#define DS_SYNC         4

AdminStatus zt_LDAPexec(int op, AdminConfig *connection, const char *dn, LDAPMod **mods, int flags);
AdminStatus zt_addDsEntry(AdminConfig *connection, const char *dn, LDAPMod **mods, int flags);
AdminStatus zt_deleteDsEntry(AdminConfig *connection, const char *dn, int flags);
AdminStatus zt_modifyDsEntry(AdminConfig *connection, const char *dn, LDAPMod **mods, int flags);
int zt_getmodtime(AdminConfig *connection, const char *dn);
void _init_backoff(void);
void _wait_backoff(void);
int _dn_exists(LDAP *session, const char *dn);
AdminStatus check_primary(void);

/* ===================================================== entry queries */

#define SEARCH_ALL      0
#define SEARCH_SINGLE   1
#define SEARCH_CHILDREN 2

LDAPMessage *search_for_entries(LDAP *session, const char *filter, const char *base,
                                char **attrs, int attrsonly, int mode);
int entry_exists(LDAP *session, const char *filter, const char *base);
AdminStatus _zt_dsEntryExists(AdminConfig *connection, const char *filter, const char *base,
                              int on_primary);
int count_child_entries(LDAP *session, const char *base);
int delete_child_entries(LDAP *session, const char *base);
char *normalize_search_filter(const char *filter);
int zt_getGeneration(AdminConfig *connection, const char *name);
int zt_incGeneration(AdminConfig *connection, const char *name);
int zt_isGenerationValid(AdminConfig *connection, const char *name, int generation);
int print_hierarchy(AdminConfig *connection, int print_attrs, int sort);
int print_entry_hierarchy(LDAP *session, const char *dn, int level, int print_attrs, int sort);
AdminStatus zt_DSConfigured(char **path);
extern int global_num_entries;

/* ============================================ data-store configuration */

typedef struct SubtreeNode {
    char *dn;
    int flag;
    struct SubtreeNode *next;
} SubtreeNode;

typedef struct TreeS {
    SubtreeNode *subtrees;
    char **referrals;
    char *replicadn;
    struct TreeS *next;
} TreeS;

typedef struct Backend {
    char **suffixes;
    char *rootdn;
    char **replicas;
    const char *type;
    TreeS *slaves;
    TreeS *masters;
} Backend;

typedef struct BackendList {
    int count;
    int capacity;
    Backend *backends;
} BackendList;

AdminStatus read_ds_config(BackendList *list);
int fp_getline(FILE *fp, int *lineno, char *buf, int bufsize, char *line, int linesize);
void fp_parse_line(char *line, int *argc, char **argv, int max);
char *strtok_quote(char *str, const char *delimiters, char **next);
Backend *new_backend(BackendList *list, const char *type);
void free_backend(BackendList *list);
Backend *select_backend(const BackendList *list, const char *dn);
int configure_treeS(Backend *backend, int argc, char **argv, int is_slave);
void free_treeS(TreeS *chain);

AdminStatus zt_getDSprimary(char **name, int *port);
int zt_isDSprimary(void);
AdminStatus zt_pingDShost(const char *host, int port, int timeout);
void setLocalHostname(void);

/* ================================================= user status database */
/* The status files are shared with the services that record logins.  A
 * handle from open_user_dbm/open_desktop_dbm stands for its file: every
 * operation through it (or through the connection) opens the file afresh
 * for that one operation, so records other processes write meanwhile are
 * neither hidden nor overwritten.  Close such handles with
 * close_user_dbm/close_desktop_dbm.  A handle the caller opened with
 * dbm_open itself is used as it is.  Stores refuse (-1) a record whose
 * value would exceed 511 bytes or whose text holds the byte 0x1E. */

#define USTATUS_NEVER      0
#define USTATUS_LOGGED_IN  1
#define USTATUS_LOGGED_OUT 2

typedef struct DbmUser {
    char *id;
    char *name;
    int create_time;
    int status;
    char *last_desktop;
    int last_time;
} DbmUser;

typedef struct UserList {
    DbmUser *user;
    struct UserList *next;
} UserList;

DBM *open_user_dbm(const char *path, int access);
void close_user_dbm(DBM *db);
int add_dbm_user(AdminConfig *conn, const DbmUser *user);
int modify_ustatus(DBM *db, const DbmUser *user);
int delete_dbm_user(AdminConfig *conn, const char *user_id);
DbmUser *get_dbm_user(DBM *db, const char *user_id);
int dbm_user_exists(DBM *db, const char *user_id);
UserList *get_all_dbm_users(DBM *db);
void add_user_to_list(UserList **list, DbmUser *user);
void free_UserList(UserList **list);
DbmUser *allocate_dbm_user(void);
void free_dbm_user(DbmUser *user);
DbmUser *fill_dbm_user_struct(datum value);
void print_dbm_user(const DbmUser *user);

/* ============================================== desktop status database */

typedef struct DbmDesktop {
    char *id;
    char *model;
    char *firmware_rev;
    char *status;
    char *last_status_time;
    char *first_conn_time;
} DbmDesktop;

typedef struct DesktopList {
    DbmDesktop *desktop;
    struct DesktopList *next;
} DesktopList;

DBM *open_desktop_dbm(const char *path, int mode);
void close_desktop_dbm(DBM *db);
int add_dbm_desktop(AdminConfig *config, const DbmDesktop *desktop);
int modify_dstatus(DBM *db, const DbmDesktop *desktop);
int delete_dbm_desktop(AdminConfig *config, const char *id);
DbmDesktop *get_dbm_desktop(DBM *db, const char *id);
DesktopList *get_all_dbm_desktops(DBM *db);
int dbm_desktop_exists(DBM *db, const char *id);
void add_desktop_to_list(DesktopList **list, DbmDesktop *desktop);
void free_DesktopList(DesktopList **list);
DbmDesktop *fill_dbm_desktop_struct(datum value);
DbmDesktop *allocate_dbm_desktop(void);
void free_dbm_desktop(DbmDesktop *desktop);
void print_dbm_desktop(const DbmDesktop *desktop);

/* ============================================ token-ID classification */

typedef struct TokenPrefix {
    const char *prefix;
    int length;
} TokenPrefix;

extern const TokenPrefix zt_dtu_bound_prefixes[];
extern const TokenPrefix zt_ds_logical_prefixes[];

int zt_isLegalToken(const char *id, const char **reason);
int prefixMatch(const char *id, const TokenPrefix *table);
int zt_isDtuBoundToken(const char *id);
int zt_isDsLogicalToken(const char *id);
int zt_isFixedToken(AdminConfig *conn, const char *id);
int zt_isPersonalToken(AdminConfig *conn, const char *id);
int legal_raw_token_id(const char *id);

/* ================================================= platform services */

/* Reads KEY of an installed package's description (for example "BASEDIR"
 * of "KRVXzta"); 0 and a new string in *value, or a negative status. */
int zt_getProdInfo(const char *package, const char *key, char **value);

/* The server that the terminal or card `token` is connected to: each
 * trusted, alive member of the failover group of `host` (or `host` alone)
 * is asked for the token's records in turn; 0 and a new copy of the first
 * member's name that has one in *server (the caller frees it).  Otherwise
 * *server is NULL and the result is -9 (members answered, none has it),
 * -6 (an argument missing) or the failure of the last member asked. */
int zt_get_server_for_token(const char *host, const char *token, char **server);

/* ==================================================== directory records */

typedef struct User {
    char *id;
    char *name;
    char *other_info;
    int create_time;
    int status;
    char *last_desktop;
    int last_time;
    char *misc1;
    char *misc2;
    char **logical_token_ids;
} User;

typedef struct LogicalToken {
    char *id;
    char *token_name;
    char *session_type;
    char *session_params;
    char *server_name;
    int server_port;
    char *misc1;
    char *misc2;
    char **raw_token_ids;
} LogicalToken;

typedef struct RawToken {
    char *id;
    char *secret;
    char *token_type;
    char *token_state;
    char *enabled;
    char *misc1;
    char *misc2;
} RawToken;

User *allocate_user(void);
void free_user(User *user);
User *fill_user_struct(AdminConfig *conn, LDAPMessage *entry);
void print_user(FILE *stream, const User *user, int brief);

LogicalToken *allocate_logical_token(void);
void free_logical_token(LogicalToken *lt);
LogicalToken *fill_logical_token_struct(AdminConfig *conn, LDAPMessage *entry);
void print_logical_token(FILE *stream, const LogicalToken *lt, int brief);

RawToken *allocate_raw_token(void);
void free_raw_token(RawToken *rt);
RawToken *fill_raw_token_struct(AdminConfig *conn, LDAPMessage *entry);
void print_raw_token(FILE *stream, const RawToken *rt, int brief);

/* ------------------------------------------------------------- users */
char *add_user(AdminConfig *conn, User *user, int generate);
int modify_user(AdminConfig *conn, const User *user);
int delete_user(AdminConfig *conn, const char *user_id);
User *get_user(AdminConfig *conn, const char *user_id);
int user_exists(AdminConfig *conn, const char *user_id);
char *gen_unique_user_id(AdminConfig *conn);
int fill_user_status(AdminConfig *conn, User **user);
char *add_simple_user2(AdminConfig *conn, const char *raw_token_id, const char *server_name,
                       int server_port, const char *name, const char *other_info);
char *add_simple_user3(AdminConfig *conn, RawToken *raw_token, LogicalToken *logical_token, User *user);
int edit_simple_user(AdminConfig *conn, const char *raw_token_id, const char *server_name,
                     int server_port, const char *name, const char *other_info);
AdminStatus delete_simple_user(AdminConfig *conn, const char *raw_token_id);
AdminStatus zt_getLtokenByUser(AdminConfig *conn, const char *name, char ***ids);

/* ---------------------------------------------------- logical tokens */
int add_logical_token(AdminConfig *conn, const LogicalToken *lt);
int add_logical_token_to_user(AdminConfig *conn, const char *user_id, const LogicalToken *lt);
int add_simple_logical_token(AdminConfig *conn, const char *raw_token_id, const char *logical_token_id);
int modify_logical_token(AdminConfig *conn, const LogicalToken *lt);
int delete_logical_token(AdminConfig *conn, const char *logical_token_id);
LogicalToken *get_logical_token(AdminConfig *conn, const char *logical_token_id);
int logical_token_exists(AdminConfig *conn, const char *logical_token_id);
AdminStatus _zt_logicalTokenExists(AdminConfig *conn, const char *logical_token_id,
                                   const char *raw_token_id, int on_primary);
int zt_raw_and_logical_tokens_exist(AdminConfig *conn, const char *raw_token_id);

/* -------------------------------------------------------- raw tokens */
int add_raw_token(AdminConfig *conn, const RawToken *rt);
int add_raw_token_to_logical_token(AdminConfig *conn, const char *logical_token_id, const RawToken *rt);
int modify_raw_token(AdminConfig *conn, const RawToken *rt);
AdminStatus delete_raw_token(AdminConfig *conn, const char *raw_token_id);
RawToken *get_raw_token(AdminConfig *conn, const char *raw_token_id);
int raw_token_exists(AdminConfig *conn, const char *raw_token_id);
AdminStatus _zt_rawTokenExists(AdminConfig *conn, const char *raw_token_id, int on_primary);

/* ---------------------------------------------- identity translation */
char *logical_token_id_to_user_id(AdminConfig *conn, const char *lt_id);
char *raw_token_id_to_logical_token_id(AdminConfig *conn, const char *rt_id);
char *raw_token_id_to_user_id(AdminConfig *conn, const char *rt_id);
User *logical_token_id_to_user(AdminConfig *conn, const char *lt_id);
User *raw_token_id_to_user(AdminConfig *conn, const char *rt_id);
LogicalToken *raw_token_id_to_logical_token(AdminConfig *conn, const char *rt_id);
int count_user_raw_tokens(AdminConfig *conn, const char *user_id);
AdminStatus _zt_getLidByRid(AdminConfig *conn, const char *rt_id, char ***out);
AdminStatus _zt_getUidByRid(AdminConfig *conn, const char *rt_id, char ***out);

/* ------------------------------------------------- X configuration */

typedef struct Xconfig {
    char *token_id;
    char *resolution;
    int refresh;            /* -1: not set */
    char *enable_pc;
    char *default_pc;
    int *ordering;          /* dim_rows x dim_columns values, or null */
    int dim_rows;           /* 0: not set */
    int dim_columns;        /* 0: not set */
    char *enable_autosizing;
    char *enable_multiscreen;
    char *enable_xinerama;
    char *enable_xkb;       /* "yes" or "no" */
} Xconfig;

Xconfig *allocate_xconfig(void);
void zt_freeXconf(Xconfig *xconfig);
AdminStatus zt_getXconfByTokenID(AdminConfig *conn, const char *token_id, Xconfig **out);
AdminStatus zt_addXconf(AdminConfig *conn, Xconfig *xconfig, int replace);
AdminStatus zt_delXconfByTokenID(AdminConfig *conn, const char *token_id);
AdminStatus _modXconf(AdminConfig *conn, Xconfig *xconfig, int operation);
Xconfig *fill_Xconfig_struct(AdminConfig *conn, LDAPMessage *entry);
char *constructDN(AdminConfig *conn, const char *token_id);
int constructCSV(Xconfig *xconfig, char **out);
int deconstructCSV(Xconfig *xconfig, const char *text);
void parse_intList(const char *text, int **out, int count);
char *makeToggle(const char *text);
int convXKB(Xconfig *xconfig, char **value_ref);
int isValidToken(const char *id);
const char *getTokenId(const char *id);
void zt_printXconfig(FILE *stream, const Xconfig *xconfig);

/* ---------------------------------------------------------- desktops */

typedef struct Desktop {
    char *id;
    char *model;
    char *firmware_rev;
    char *location;
    char *other_info;
    char *status;
    char *last_status_time;
    char *first_conn_time;
    char *misc1;
    char *misc2;
#ifdef __cplusplus
    char *namespace_;      /* "namespace" is a keyword in C++; same slot */
#else
    char *namespace;
#endif
    char **dtugroup;
} Desktop;

AdminStatus getDtuByFilter(AdminConfig *config, const char *filter, Desktop **desktop);
Desktop *get_desktop(AdminConfig *config, const char *id);
int desktop_exists(AdminConfig *config, const char *id);
int fill_desktop_status(AdminConfig *config, Desktop **desktop);
Desktop *fill_desktop_struct(AdminConfig *config, LDAPMessage *entry);
Desktop *allocate_desktop(void);
void free_desktop(Desktop *desktop);
void print_desktop(const Desktop *desktop);

/* Terminal IDs (CIDs) are NAMESPACE.ID; the namespace "IEEE802" (any case)
 * is the default: such desktops are stored without "ztNamespace".  The
 * changes below read what decides their next write from the primary
 * server, so they never act on a replica that has not caught up. */

/* Creates the desktop entry (trimmed texts; groups and a namespace other
 * than IEEE802 in a second step) and a raw token of type "desktop" named
 * raw_token_id; 0, -6 for bad arguments, or the failing step's status. */
AdminStatus add_desktop(AdminConfig *config, const Desktop *desktop, const char *raw_token_id);
/* Replaces the desktop's texts, groups and namespace (absent removes);
 * 0 or -1. */
AdminStatus modify_desktop(AdminConfig *config, const Desktop *desktop);
/* Deletes the raw token (if any), the desktop entry and the status record
 * kept under raw_token_id; the entry deletion's status, or the raw token's. */
AdminStatus delete_desktop(AdminConfig *config, const char *raw_token_id, const char *desktop_id);
/* Sets location and other information; 0, -2 when both are unchanged,
 * -1 when the desktop cannot be read or written (logged as "desktop"). */
AdminStatus edit_simple_desktop(AdminConfig *config, const char *id, const char *location,
                                const char *other_info);
/* The desktop of a CID in *desktop (free with free_desktop); 0, -6 for an
 * absent or empty CID, -1 without an ID part, -4 when not found. */
AdminStatus zt_getDtuByDtuCID(AdminConfig *config, const char *cid, Desktop **desktop);
/* Makes the desktop a member of group gid of the type (a NULL gid ends its
 * membership of that type) and moves the CID between the groups' member
 * lists; 0, -4 no such desktop, -6 bad arguments, -1 other failures. */
AdminStatus zt_setDtuGIDByDtuCID(AdminConfig *config, const char *cid, const char *gid,
                                 const char *type);
/* zt_setDtuGIDByDtuCID with the type "MULTIHEAD". */
AdminStatus zt_setDtuMHGIDByDtuCID(AdminConfig *config, const char *cid, const char *gid);

/* ------------------------------------------------------ terminal groups */
/* A typed group of terminals, e.g. a multihead desktop ("MULTIHEAD") whose
 * heads are its members.  Each member desktop carries the back reference
 * "TYPE:GROUPID" in its "ztDtuTypeGroups"; the writes below keep both sides
 * in step.  Group arrays are NULL-terminated arrays of DtuGrp pointers. */

typedef struct DtuGrp {
    char *gid;            /* "ztGroupID" */
    char *gtype;          /* "ztGroupType", e.g. "MULTIHEAD" */
    char *private_data;   /* "ztPrivateData", or NULL */
    int primary_idx;      /* "ztPrimaryIdx"; -1: none */
    int num_dtus;         /* number of members */
    char **dtulist;       /* NULL-terminated member CIDs */
} DtuGrp;

/* Splits a CID at its first "." into new texts (no "." gives a NULL
 * namespace and the whole CID as the ID); 0, or -6 for absent arguments. */
int zt_split_CID(const char *cid, char **name_space, char **id);
/* Splits a comma-separated member list into a new array of trimmed,
 * non-empty items; their number (0 and NULL for an absent or empty text). */
int parse_dtulist(const char *text, char ***list);
/* The desktop's "ztDtuTypeGroups" values as a new array, or NULL. */
char **get_typegroup_from_dtu(AdminConfig *config, const char *cid);
/* A new group read from a group entry; NULL when its ID, type or member
 * list is missing.  Without "ztPrimaryIdx" the index is -1. */
DtuGrp *fill_dtugroup_struct(AdminConfig *config, LDAPMessage *entry);
/* 1 when the group exists, 0 when not, -1 for bad arguments or a failure. */
int dtugrp_exists(AdminConfig *config, const char *gid, const char *type);
/* Searches group entries by type and ID, type only or ID only (only index
 * and member list when primary_only); 0 and *result (ldap_msgfree it),
 * -4 none, -6 neither given, -1 too long or failed. */
AdminStatus get_ldapgroupdobj_bygid(AdminConfig *config, const char *type, const char *gid,
                                    LDAPMessage **result, int primary_only);
/* The matching groups in a new group array; their number, or -4, -6, -1. */
int zt_getDtuGrpByDtuGID(AdminConfig *config, const char *type, const char *gid, DtuGrp ***groups);
/* The groups (of the type, when given) the desktop's back references name;
 * their number, -4 none, -6 no CID. */
int zt_getDtuGrpByDtuCID(AdminConfig *config, const char *type, const char *cid, DtuGrp ***groups);
/* The member CID at the primary index of the desktop's group of the type,
 * as a new text (free with zt_freeDtuCID); 0, -4, -6 or -1. */
AdminStatus zt_getDtuGrpPrimByDtuCID(AdminConfig *config, const char *type, const char *cid,
                                     char **primary);
/* Creates the group (or with replace overwrites it) and the members' back
 * references; 0, -6 incomplete, -10 a CID that cannot be normalised, -11 a
 * member twice, -7 exists, -8 a member in another group of the type, -1.
 * A failure leaves no trace but desktops created for members. */
AdminStatus zt_addDtuGrp(AdminConfig *config, const DtuGrp *group, int replace);
/* Deletes the group and its members' back references; 0, -6, -4, -1. */
AdminStatus zt_delDtuGrpByDtuGID(AdminConfig *config, const char *type, const char *gid);
/* Adds (add 1) or removes (add 0) the CID in the group's member list;
 * removing the last member deletes the group.  0, -6, -4, -1. */
AdminStatus zt_setDtuGrpCIDlistByDtuGID(AdminConfig *config, const char *type, const char *gid,
                                        const char *cid, int add);
/* Writes (remove 0) or removes (remove 1) every member's back reference,
 * creating missing member desktops when writing; 0, -8, -6 or -1. */
AdminStatus zt_syncDtuGrp(AdminConfig *config, const DtuGrp *group, int remove);
/* Prints each group of the array, numbered from 1. */
void zt_printDtuGrp(FILE *stream, DtuGrp **groups);
/* A new group with every field NULL or 0 (safe_malloc semantics). */
DtuGrp *allocate_dtugrp(void);
/* Frees a group and its fields; NULL accepted. */
void zt_freeDtuGrp(DtuGrp *group);
/* Frees every group of an array and the array; NULL accepted. */
void zt_freeDtuGrplist(DtuGrp **groups);
/* Frees a NULL-terminated array of texts; NULL accepted. */
void free_dtulist(char **list);
/* Frees a CID text handed out by this library. */
void zt_freeDtuCID(char *cid);

/* --------------------------------------------------------- iterators */

#define ITERATOR_DESKTOPS        1
#define ITERATOR_USERS           2
#define ITERATOR_LOGICAL_TOKENS  3
#define ITERATOR_RAW_TOKENS      4
#define ITERATOR_LOGGED_IN_USERS 5
#define ITERATOR_XCONFIG_LTOKENS 6
#define ITERATOR_XCONFIG_RTOKENS 7

/* `result` is the first page of the search (null when nothing was found)
 * and `current` the entry last handed out; both belong to the iterator. */
typedef struct AdminIterator {
    int kind;
    int status;
    int count;
    LDAPMessage *result;
    LDAPMessage *current;
} AdminIterator;

/* Runs the search of `kind` (page by page with the paged-results control,
 * so a server's size limit does not cut it short) and returns a new
 * iterator over every entry found, sorted by `sort_attribute` when given;
 * null after a failed search.  Release it with finish_iterator. */
AdminIterator *start_iterator(AdminConfig *conn, int kind, const char *filter, const char *sort_attribute);
int num_iterator_entries(const AdminIterator *iterator);
Desktop *get_next_desktop(AdminConfig *conn, AdminIterator *iterator);
User *get_next_user(AdminConfig *conn, AdminIterator *iterator);
LogicalToken *get_next_logical_token(AdminConfig *conn, AdminIterator *iterator);
RawToken *get_next_raw_token(AdminConfig *conn, AdminIterator *iterator);
Xconfig *get_next_xconfig_ltokens(AdminConfig *conn, AdminIterator *iterator);
Xconfig *get_next_xconfig_rtokens(AdminConfig *conn, AdminIterator *iterator);
void finish_iterator(AdminConfig *conn, AdminIterator *iterator);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZT_ADMIN_H */

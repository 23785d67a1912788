/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * auth_mgr.h - clients of the authentication manager: its record queries,
 * the current-login and connected-terminal lists built from them, the
 * token-reader look-ups, and the local pseudo-token policy filter.
 *
 * Conventions
 *  - Host arguments are host names or dotted IPv4 addresses; an absent host
 *    means the local manager at "127.0.0.1".
 *  - Every record and list handed to a caller is malloc'd and owned by the
 *    caller, who releases it with the matching free function; every text
 *    field of a record is its own malloc'd copy, absent when the manager
 *    did not send it.
 *  - Lists are passed as the address of their head pointer; an absent head
 *    is the empty list.
 *  - Results are AdminStatus values (zterrno.h) unless a comment says
 *    otherwise.  Nothing is thrown; diagnostics go to the system log.
 *  - Mode of a query: 1 orders records by terminal; any other value orders
 *    them by token, 2 also drops records with an empty token, and 3
 *    (token-reader mode) takes the token from the reader's annotation.
 */
#ifndef ZT_AUTH_MGR_H
#define ZT_AUTH_MGR_H

#include <stdio.h>

#include "admin.h"
#include "zterrno.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: what this header declares is
 * what it exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ===================================================== record queries */

/* flag bits of KeyValuesNode and CurrentEntry */
#define ZT_FLAG_MH_SECONDARY 1u   /* secondary head of a multihead group */
#define ZT_FLAG_TOKEN_READER 2u   /* the terminal is a token reader */

/* One record of a manager's reply. */
typedef struct KeyValuesNode {
    char *terminal_CID;
    char *model;
    char *firmware;
    char *boot;
    char *connected;
    char *MHgroup_name;
    char *MHdata;              /* never filled by parsing */
    int MHterm_index;          /* -1 when absent */
    unsigned int flag;
    char *create_time;
    char *connect_time;
    char *terminal_IPA;
    char *terminal_port;
    char *local_name;
    char *global_name;
    char *module_name;
    char *session_mgr_id;
    char *service_init_cmd;
    char *token_name;
    char *client_created;
    char *controller;
    char *lifetime;
    char *terminal_packets;
    char *terminal_lost_packets;
    char *terminal_conn_time;
    char *terminal_idle_time;
    char *terminal_bytes;
    char *terminal_latency;
    char *enc_up_type;
    char *enc_down_type;
    char *auth_up_type;
    char *auth_down_type;
    char *security_mode;
    struct KeyValuesNode *next;
} KeyValuesNode;

/* Sends "status\n" to the manager on `host` and adds every record it
 * accepts to *list (which may already hold records).  `keys` names the
 * extra keys wanted (NULL-terminated; absent: no key, so no record);
 * `terminal_filter` (optional) keeps records whose terminal occurs in it.
 * Returns 0; -12 when the host does not answer the probe, -13 when no
 * connection could be made, -14 when the request could not be sent, -15
 * when no reply came within 5000 ms or the reply stalled; -1 on a read
 * error.  After -1 or a stall *list is freed and set to NULL. */
AdminStatus zt_getAuthMgrRecords(const char *host, int mode, const char *terminal_filter,
                                 const char *const *keys, KeyValuesNode **list);

/* As zt_getAuthMgrRecords with the request "status tokenName=TOKEN\r\n";
 * -6 for an absent or empty token, -10 when the request would need 128
 * bytes or more (nothing is sent). */
AdminStatus zt_getAuthMgrRecordsForToken(const char *host, const char *token, int mode,
                                         const char *terminal_filter, const char *const *keys,
                                         KeyValuesNode **list);

/* As zt_getAuthMgrRecordsForToken with "status terminalCid=ID\r\n" and no
 * terminal filter. */
AdminStatus zt_getAuthMgrRecordsForCid(const char *host, const char *terminal_id, int mode,
                                       const char *const *keys, KeyValuesNode **list);

/* Frees every node of `list` with its texts; NULL is accepted. */
void zt_free_KeyValuesNode_list(KeyValuesNode *list);

/* Debug dump of one record to standard error. */
void print_KeyValuesNode(const KeyValuesNode *node);

/* A read/write stream ("r+") connected to the manager's port, for callers
 * that hold a longer conversation; *status is 0, -12 (a given host did not
 * answer the probe), -13 (no connection) or -1 (no stream).  An absent or
 * empty host is "127.0.0.1" and is not probed.  NULL on failure. */
FILE *zt_openAuthCallback(const char *host, AdminStatus *status);

/* Closes a stream of zt_openAuthCallback: 0, or -1 for NULL or a failed
 * close. */
int zt_closeAuthCallback(FILE *stream);

/* A connected IPv4 socket (datagram when `datagram` is non-zero, else
 * stream; the largest send buffer the system grants up to 1 MiB when
 * `large_send_buffer` is non-zero), or -1 after a log entry. */
int open_socket(const char *host, int port, int datagram, int large_send_buffer);

/* Runs the reachability probe "ping HOST 5": 0 when the host answered
 * within 5 seconds (an absent host counts as answering), otherwise
 * non-zero (22 for an empty host, an errno value, the probe's exit status,
 * 3 when it stopped, 4 when a signal ended it). */
int ping_host(const char *host);

/* The text after the second-last "." of `id` when it holds two or more,
 * else `id` itself: a pointer into the argument, not a copy. */
const char *get_short_token_id(const char *id);

/* ===================================================== current logins */

/* One current login. */
typedef struct CurrentEntry {
    char *terminal_id;         /* short form: no namespace */
    char *token_id;            /* short form */
    char *server;              /* the host the entry came from */
    char *group_name;          /* multihead group of the terminal */
    unsigned int flag;         /* ZT_FLAG_* */
    struct CurrentEntry *next;
} CurrentEntry;

/* One connected terminal. */
typedef struct TermEntry {
    char *terminal_id;         /* short form */
    char *packets;
    char *connect_time;        /* decimal seconds */
    struct TermEntry *next;
} TermEntry;

/* The current logins of the manager on `host`, ordered by `mode`;
 * *count is the number of entries, or -1 (and the result NULL) when the
 * query failed before reading.  `terminal_filter` (optional) is a terminal
 * ID, with or without "IEEE802."; only entries whose terminal contains it
 * are kept.  An empty reply gives NULL with *count 0. */
CurrentEntry *get_current_list(const char *host, int *count, int mode, const char *terminal_filter);

/* Number of entries; 0 for NULL. */
int count_linked_list(const CurrentEntry *list);

/* Frees every entry and sets *list to NULL. */
void free_linked_list(CurrentEntry **list);

/* Debug dump to standard error: "|terminal|token|server|group|FLAG\n". */
void print_linked_list(const CurrentEntry *list);

/* Inserts an entry holding copies of the texts (absent stays absent),
 * after every entry whose key (terminal in mode 1, token otherwise;
 * compared bytewise, absent keys last) is less than or equal to its own. */
void add_to_linked_list(CurrentEntry **list, const char *terminal, const char *token, int mode,
                        const char *server, const char *group, unsigned int flag);

/* A new copy of the text after the last "." of `terminal_id` (the whole ID
 * when it has none); NULL for NULL. */
char *get_short_terminal_id(const char *terminal_id);

/* One entry (terminal only, ordered by terminal) per "terminalId" line of
 * the token-reader file; NULL when the file is missing or unreadable. */
CurrentEntry *get_token_reader_terminals(void);

/* 1 when the short form of some "terminalId" of the token-reader file
 * equals `terminal_id`, else 0. */
int is_token_reader(const char *terminal_id);

/* The token in reader `reader_id` as the manager on `host` reports it: a
 * new copy of its ID, a new empty text for a pseudo token (no card), or
 * NULL when the reader is unknown, holds several entries or the query
 * failed.  The caller frees the result. */
char *get_token_id_from_reader(const char *host, const char *reader_id);

/* The connected terminals of the manager on `host`, ordered by terminal;
 * *status is 0, or -1 (and the result NULL) when the query failed before
 * reading. */
TermEntry *zt_get_term_list(const char *host, int *status);

/* Inserts a copy of the texts, ordered by terminal. */
void zt_add_to_term_list(TermEntry **list, const char *terminal, const char *packets,
                         const char *connect_time);

/* Frees the list and sets *list to NULL. */
void zt_free_term_list(TermEntry **list);

/* Debug dump to standard error: "|terminal|packets|connect time|\n". */
void zt_print_term_list(const TermEntry *list);

/* A new "H:M:S" text of decimal seconds; "0:0:0" for 0 or a non-number. */
char *zt_term_conn_time(const char *seconds);

/* 1 when the entry lacks its packets or connect time, else 0. */
int zt_term_unknown(const TermEntry *entry);

/* 1 when the terminal sent no packets and has been connected for at least
 * `minimum_seconds`, else 0. */
int zt_term_unowned(const TermEntry *entry, int minimum_seconds);

/* ======================================== local pseudo-token policy */

#define ZT_PSEUDO_ALLOWED         11  /* nothing hidden */
#define ZT_PSEUDO_NOT_LOCAL       12  /* pseudo tokens of this server hidden */
#define ZT_PSEUDO_NEVER           14  /* every pseudo token hidden */
#define ZT_PSEUDO_REGISTERED_ONLY 15  /* unregistered pseudo tokens hidden */

/* The policy tool's output without comment lines and without its final
 * line feed, as a new text; NULL when the tool could not be run or
 * failed. */
char *get_local_policy(void);

/* The pseudo-token policy code (ZT_PSEUDO_*), or -1 when the policy could
 * not be obtained. */
int pseudo_allowed(void);

/* A new list built from `list` (left unchanged) by the policy: mode 1
 * keeps every entry in terminal order with "???" as the token of a hidden
 * one; mode 2 keeps the visible entries in token order; other modes give
 * NULL.  NULL also when the configured server name is 256 bytes or
 * longer. */
CurrentEntry *filter_pseudo_entries(AdminConfig *config, const CurrentEntry *list, int mode);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZT_AUTH_MGR_H */

/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * group_mgr.h - the failover group as the authentication managers see it,
 * the group-wide login and terminal lists, another server's desktop and
 * user status, and the session manager's status and start times.
 *
 * Conventions
 *  - Host arguments are host names or dotted IPv4 addresses; an absent host
 *    means the local manager at "127.0.0.1" unless a comment says that the
 *    configured directory server is asked instead.
 *  - Every record and list handed to a caller is malloc'd and owned by the
 *    caller, who releases it with the matching free function.  Lists are
 *    passed as the address of their head pointer.
 *  - The queries here report failures through their results and the system
 *    log only: an empty or partial list, or -1.  Nothing is thrown.
 */
#ifndef ZT_GROUP_MGR_H
#define ZT_GROUP_MGR_H

#include "admin.h"
#include "auth_mgr.h"
#include "zterrno.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility: what this header declares is
 * what it exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

struct hostent;

/* ======================================================= group members */

#define GM_NAME_SIZE   256   /* host name field, terminator included */
#define GM_IFNAME_SIZE 16    /* interface name field, terminator included */
#define GM_DEFAULT_PERIOD 20 /* heartbeat period when a member gives none */

/* One network interface of a member. */
typedef struct gm_interface {
    char ifname[GM_IFNAME_SIZE];
    int iflastpkt;
    unsigned int ifbcastaddr;
    unsigned int ifipaddr;
    unsigned int ifnetmask;
    int lan;                     /* 1: the word "LAN" was given */
} gm_interface;

/* What a member reports of itself. */
typedef struct gm_hoststatus {
    char name[GM_NAME_SIZE];
    unsigned int hostaddr;
    int numifs;
    int lastseen;                /* seconds since last heard from */
    int timeoff;
    int period;                  /* heartbeat period in seconds */
    gm_interface *ifs;           /* numifs records, or NULL */
    int starttime;
} gm_hoststatus;

/* One member of the group. */
typedef struct gm_host {
    int trusted;
    int offline;
    int lan_ok;
    gm_hoststatus *status;
} gm_host;

/* Members in reply order. */
typedef struct HostList {
    gm_host *host;
    struct HostList *next;
} HostList;

/* The group as the manager on `host` (absent: the configuration's
 * directory server) reports it; *count is the number of members.  NULL
 * when the reply named no member, the query failed, or both `config` and
 * `host` are absent. */
HostList *get_gm_hosts(AdminConfig *config, const char *host, int *count);

/* get_gm_hosts without the members that are untrusted or timed out; NULL
 * for a malformed list. */
HostList *get_trusted_alive_gm_hosts(AdminConfig *config, const char *host, int *count);

/* 1 when a member last seen `lastseen` seconds ago has missed more than
 * three heartbeats of `period` seconds (compared unsigned), else 0. */
int isTimedOut(int lastseen, int period);

/* Sends "gstatus\n" to the manager on `host` and appends the members of
 * its reply to *list.  Failures leave *list as it was, except that a reply
 * with more interface lines than a member announced frees *list. */
void get_gstatus(const char *host, HostList **list);

/* The current logins of every trusted, alive member (each queried in
 * mode 2), merged in token order, each carrying its member's name as
 * server; members that fail are skipped.  `mode` is accepted and not
 * used. */
CurrentEntry *get_currentHA_list(HostList *hosts, int mode);

/* The connected terminals of every trusted, alive member, merged in
 * terminal order. */
TermEntry *zt_get_termHA_list(HostList *hosts);

/* The desktop status of `host` ("status\n" to its manager) or, without a
 * host, of the configuration's local database; *count is the number of
 * records. */
DesktopList *get_dstatus(AdminConfig *config, const char *host, int *count);

/* The same for users ("ustatus\n", the local user status database). */
UserList *get_ustatus(AdminConfig *config, const char *host, int *count);

/* Sends `request` ("status\n" or "ustatus\n"; others are refused) to the
 * manager on `host` without probing it, and adds the records to `list`,
 * a DesktopList ** for "status\n" and a UserList ** for "ustatus\n". */
void get_remote_status(const char *request, const char *host, void *list);

/* Debug dump of a member to standard error. */
void print_gm_host(const gm_host *host);

/* A member with every flag 0, period GM_DEFAULT_PERIOD and no interfaces. */
gm_host *allocate_gm_host(void);
void free_gm_host(gm_host *host);

/* Appends `host` (the list takes it over) at the tail. */
void add_host_to_list(HostList **list, gm_host *host);

/* Frees every node and its member, and sets *list to NULL. */
void free_HostList(HostList **list);

/* The system's re-entrant host look-up: fills `result` using `buffer` of
 * `size` bytes and returns it, or NULL with *error set to ERANGE when the
 * buffer is too small and to the resolver's h_errno code otherwise. */
struct hostent *_zt_os_gethostbyname_r(const char *name, struct hostent *result, char *buffer,
                                       int size, int *error);

/* ==================================================== session manager */

/* The session manager's status. */
typedef struct smstatus {
    char *error;                 /* NULL when the manager answered OK */
    int stime;                   /* start time, seconds since the epoch */
    int sessions;
    int connected;
    int auth;
} smstatus;

smstatus *allocate_smstatus(void);
void free_smstatus(smstatus *status);

/* Sends "smstatus\n" to the session manager on `host` (absent: the
 * configuration's directory server) and fills *status, which the caller
 * allocated.  0 when a reply was read (even an error line or a reply cut
 * short), -1 when there was no connection, the request could not be sent,
 * no data came within 5000 ms, or the arguments were missing.  The last
 * two arguments are accepted and not used. */
int get_smstatus(AdminConfig *config, const char *host, smstatus **status, int unused1, int unused2);

/* Debug dump to standard error. */
void print_smstatus(const smstatus *status);

/* The start times of the member `member` (absent: the member named `host`,
 * waited for up to 120 seconds while the group is empty): the group's
 * record of it in *gm_start and its session manager's in *sm_start.
 * 0, or -1 after a log line. */
int get_start_times(gm_host *member, const char *host, int *gm_start, int *sm_start);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* ZT_GROUP_MGR_H */

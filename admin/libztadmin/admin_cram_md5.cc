// SPDX-License-Identifier: GPL-3.0-or-later
// admin_cram_md5.cc - the CRAM-MD5 bind.
//
// The challenge-response exchange is left to the SASL library's CRAM-MD5
// mechanism through libldap's general interactive SASL bind; we only answer
// its questions: the authentication name is the bind DN, the password the
// given credentials.  The server's host name is not canonicalised.
#include <sasl/sasl.h>

#include <cstring>

#include "admin_private.h"

namespace {

struct CramMd5Answers {
    const char *authname;
    const berval *password;
};

// Answers the SASL library's prompts.  Anything other than the name and
// the password gets the mechanism's default (or an empty answer).
int answer_prompts(LDAP *, unsigned, void *defaults, void *prompts) {
    const auto *answers = static_cast<const CramMd5Answers *>(defaults);
    for (auto *p = static_cast<sasl_interact_t *>(prompts); p->id != SASL_CB_LIST_END; ++p) {
        switch (p->id) {
            case SASL_CB_AUTHNAME:
                p->result = answers->authname;
                p->len = static_cast<unsigned>(std::strlen(answers->authname));
                break;
            case SASL_CB_PASS:
                p->result = answers->password->bv_val != nullptr ? answers->password->bv_val : "";
                p->len = static_cast<unsigned>(answers->password->bv_len);
                break;
            default:
                p->result = p->defresult != nullptr ? p->defresult : "";
                p->len = static_cast<unsigned>(std::strlen(static_cast<const char *>(p->result)));
                break;
        }
    }
    return LDAP_SUCCESS;
}

}  // namespace

extern "C" int _zt_ldap_sasl_cram_md5_bind_s(LDAP *session, const char *bind_dn,
                                              struct berval *credentials,
                                              LDAPControl **server_controls,
                                              LDAPControl **client_controls) {
    if (session == nullptr || credentials == nullptr) return LDAP_PARAM_ERROR;
    // CRAM-MD5 never uses the server's host name, so the reverse look-up
    // libldap makes by default before each SASL bind only costs a DNS
    // round trip (or a resolver time-out).  A session that refuses the
    // switch still binds, only more slowly.
    (void)ldap_set_option(session, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
    CramMd5Answers answers{bind_dn != nullptr ? bind_dn : "", credentials};
    return ldap_sasl_interactive_bind_s(session, bind_dn, "CRAM-MD5", server_controls,
                                        client_controls, LDAP_SASL_QUIET, answer_prompts, &answers);
}

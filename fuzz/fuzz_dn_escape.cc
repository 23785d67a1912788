// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes DN escaping: whatever a value holds, the escaped value must read
// back, through libldap's own DN parser, as exactly that one value of the
// first RDN, the rest of the DN untouched; and the existence check's split
// of such a DN must find that value's filter and the rest as its base.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "records_common.h"

using zt::fuzz::check;

namespace {

constexpr std::string_view kRest = "ztName=users,o=ztdata";

// The RDNs of `dn` as libldap reads it: count, AVAs of the first, and its
// attribute type and value; false when it cannot be read.
bool read_first_rdn(const std::string &dn, int &rdns, int &avas, std::string &type, std::string &value) {
    berval text{dn.size(), const_cast<char *>(dn.data())};
    LDAPDN parsed = nullptr;
    if (ldap_bv2dn(&text, &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || parsed == nullptr) return false;
    for (rdns = 0; parsed[rdns] != nullptr; ++rdns) {
    }
    for (avas = 0; parsed[0][avas] != nullptr; ++avas) {
    }
    type.assign(parsed[0][0]->la_attr.bv_val, parsed[0][0]->la_attr.bv_len);
    value.assign(parsed[0][0]->la_value.bv_val, parsed[0][0]->la_value.bv_len);
    ldap_dnfree(parsed);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view value(reinterpret_cast<const char *>(data), size);
    zt::Dn dn = zt::Dn().text("ztID=").value(value).text(",").text(kRest);
    check(dn.fits() == (5 + size + 1 + kRest.size() < zt::kDnBufferSize), "the limit counts the raw value");
    int rdns = 0, avas = 0;
    std::string type, read;
    check(read_first_rdn(dn.str(), rdns, avas, type, read), "the DN parses");
    check(rdns == 3 && avas == 1, "the value adds no RDN and no AVA");
    check(type == "ztID" && read == value, "the value reads back unchanged");
    std::optional<zt::FirstRdn> split = zt::split_first_rdn(dn.str());
    check(split.has_value() && split->base == kRest, "the first RDN ends where the value does");
    check(split->filter == "(ztID=" + zt::filter_escape(value) + ")", "the existence filter matches the value");
    return 0;
}

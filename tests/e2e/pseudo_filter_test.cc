// pseudo_filter_test.cc - the pseudo-token filter against the directory: under a policy that admits registered pseudo
// tokens only, a login whose pseudo token has a raw-token entry stays visible and one without is hidden.
#include "auth_mgr.h"
#include "records_fixture.h"

namespace zt::test {
namespace {

class PseudoFilter : public RecordsTest {};

TEST_F(PseudoFilter, RegisteredPseudoTokensOnly) {
    tree_->dir().link_program("ztpolicy", "opt/KRVXzt/sbin/ztpolicy");
    tree_->dir().write("etc/opt/KRVXzt/policy", "-r both\n");
    ASSERT_EQ(pseudo_allowed(), ZT_PSEUDO_REGISTERED_ONLY);
    put_raw("pseudo.0200aa");

    CurrentEntry *logins = nullptr;
    add_to_linked_list(&logins, "0200bb", "pseudo.0200bb", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "0200aa", "pseudo.0200aa", 2, "srv", nullptr, 0);
    add_to_linked_list(&logins, "0200cc", "card.1", 2, "srv", nullptr, 0);
    for (auto [mode, expected] : std::vector<std::pair<int, Strings>>{
             {1, {"0200aa pseudo.0200aa srv", "0200bb ??? srv", "0200cc card.1 srv"}},
             {2, {"0200cc card.1 srv", "0200aa pseudo.0200aa srv"}}}) {
        CurrentEntry *shown = filter_pseudo_entries(conn_.get(), logins, mode);
        EXPECT_EQ(zt::test::logins(shown), expected) << "mode " << mode;
        free_linked_list(&shown);
    }
    free_linked_list(&logins);
}

}  // namespace
}  // namespace zt::test

// Iterators against the sandbox: sorted walks, empty results, kinds that
// do not match, the logged-in selection, the status merge of users and
// desktops, the listing filter, configured tokens, and a failed search.
#include <gtest/gtest.h>

#include "subtree_fixture.h"

namespace zt::test {
namespace {

struct IteratorFree {
    AdminConfig *conn;
    void operator()(AdminIterator *it) const { finish_iterator(conn, it); }
};
using IteratorPtr = std::unique_ptr<AdminIterator, IteratorFree>;

class Iterator : public SubtreeTest {
protected:
    IteratorPtr start(int kind, const char *filter = nullptr, const char *sort = "ztID") {
        return IteratorPtr(start_iterator(conn_.get(), kind, filter, sort), IteratorFree{conn_.get()});
    }
    // The IDs the rest of a walk hands out, in order.
    template <typename Record>
    std::vector<std::string> ids(AdminIterator *it, Record *(*next)(AdminConfig *, AdminIterator *),
                                 void (*free_record)(Record *)) {
        std::vector<std::string> out;
        while (Record *r = next(conn_.get(), it)) {
            out.emplace_back(r->id != nullptr ? r->id : "(nil)");
            free_record(r);
        }
        return out;
    }
};

TEST_F(Iterator, SortsWithoutRegardToCaseAndNeverStartsOver) {
    for (const char *id : {"c.3", "a.1", "B.2", "D.0"}) put_raw(id);
    IteratorPtr it = start(ITERATOR_RAW_TOKENS);
    ASSERT_TRUE(it);
    EXPECT_EQ(num_iterator_entries(it.get()), 4);
    EXPECT_EQ(ids(it.get(), get_next_raw_token, free_raw_token),
              (std::vector<std::string>{"a.1", "B.2", "c.3", "D.0"}));
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);

    IteratorPtr empty = start(ITERATOR_DESKTOPS);
    ASSERT_TRUE(empty);
    EXPECT_EQ(num_iterator_entries(empty.get()), 0);
    EXPECT_EQ(get_next_desktop(conn_.get(), empty.get()), nullptr);
}

TEST_F(Iterator, WrongKindLeavesThePositionAlone) {
    put_user("w1", "W", {});
    IteratorPtr it = start(ITERATOR_USERS);
    ASSERT_TRUE(it);
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(get_next_xconfig_ltokens(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(log_->lines(), (std::vector<std::string>{"get_next_raw_token(): wrong iterator type",
                                                       "get_next_xconfig_ltokens(): wrong iterator type"}));
    EXPECT_EQ(ids(it.get(), get_next_user, free_user), (std::vector<std::string>{"w1"}));
}

TEST_F(Iterator, LoggedInKindSelectsStatusOneAndIgnoresTheFilter) {
    put_user("in1", "Ann", {}, {{"ztStatus", "1"}});
    put_user("out", "Ann", {}, {{"ztStatus", "2"}});
    put_user("never", "Ann", {});
    put_user("in2", "Bob", {}, {{"ztStatus", "1"}});
    IteratorPtr it = start(ITERATOR_LOGGED_IN_USERS, "(ztName=Ann)");
    ASSERT_TRUE(it);
    EXPECT_EQ(ids(it.get(), get_next_user, free_user), (std::vector<std::string>{"in1", "in2"}));
}

TEST_F(Iterator, UsersAndDesktopsTakeTheirStatusRecordWhenThereIsOne) {
    Attrs status = {{"ztStatus", "2"}, {"ztFirstTime", "7"}, {"ztLastDesktop", "d.1"}, {"ztLastTime", "8"}};
    put_user("m1", "With", {}, status);
    put_user("m2", "Without", {}, status);
    DbmUser record{const_cast<char *>("m1"), const_cast<char *>("With"), 100, 1, const_cast<char *>(""), 200};
    ASSERT_EQ(modify_ustatus(conn_->ustatus_db, &record), 0);
    put_desktop("0a0000000001", {{"ztModel", "dir-model"}, {"ztLocation", "Room 1"}});
    put_desktop("0a0000000002", {{"ztModel", "dir-model"}});
    DbmDesktop observed{const_cast<char *>("0a0000000001"), const_cast<char *>("P9"), nullptr,
                        const_cast<char *>("Up"), const_cast<char *>("1100"), nullptr};
    ASSERT_EQ(modify_dstatus(conn_->dstatus_db, &observed), 0);

    IteratorPtr users = start(ITERATOR_USERS);
    ASSERT_TRUE(users);
    UserPtr with(get_next_user(conn_.get(), users.get()));
    UserPtr without(get_next_user(conn_.get(), users.get()));
    ASSERT_TRUE(with && without);
    EXPECT_EQ(std::make_tuple(with->create_time, with->status, with->last_time), std::make_tuple(100, 1, 200));
    EXPECT_STREQ(with->last_desktop, "");
    EXPECT_EQ(std::make_tuple(without->create_time, without->status, without->last_time), std::make_tuple(7, 2, 8));
    EXPECT_STREQ(without->last_desktop, "d.1");

    IteratorPtr desktops = start(ITERATOR_DESKTOPS);
    ASSERT_TRUE(desktops);
    DesktopPtr merged(get_next_desktop(conn_.get(), desktops.get()));
    DesktopPtr plain(get_next_desktop(conn_.get(), desktops.get()));
    ASSERT_TRUE(merged && plain);
    EXPECT_STREQ(merged->model, "P9");
    EXPECT_STREQ(merged->firmware_rev, "");
    EXPECT_STREQ(merged->status, "Up");
    EXPECT_STREQ(merged->location, "Room 1");
    EXPECT_STREQ(plain->model, "dir-model");
}

TEST_F(Iterator, ListingFilterComposesIntoOneConjunction) {
    for (const char *id : {"card.ab1", "card.xab2", "card.zz"}) put_raw(id);
    put(dn("desk.ab3", "rawTokens"), {{"objectClass", "ztRawToken"}, {"ztID", "desk.ab3"}, {"ztTokenType", "desktop"}});
    IteratorPtr it = start(ITERATOR_RAW_TOKENS, "(zttokentype=user)(ztid=*ab*)");
    ASSERT_TRUE(it);
    EXPECT_EQ(ids(it.get(), get_next_raw_token, free_raw_token), (std::vector<std::string>{"card.ab1", "card.xab2"}));
}

TEST_F(Iterator, ConfigurationKindsListConfiguredTokensOnly) {
    put_logical("user.x1", {}, {{"objectClass", "ztXconfig"}, {"ztScreenResolution", "800x600"}});
    put_logical("user.x2", {});
    put_raw("0800aa", {{"objectClass", "ztXconfig"}, {"ztScreenRefresh", "75"}});
    IteratorPtr lts = start(ITERATOR_XCONFIG_LTOKENS);
    IteratorPtr rts = start(ITERATOR_XCONFIG_RTOKENS);
    ASSERT_TRUE(lts && rts);
    EXPECT_EQ(num_iterator_entries(lts.get()), 1);
    XconfigPtr lx(get_next_xconfig_ltokens(conn_.get(), lts.get()));
    XconfigPtr rx(get_next_xconfig_rtokens(conn_.get(), rts.get()));
    ASSERT_TRUE(lx && rx);
    EXPECT_STREQ(lx->resolution, "800x600");
    EXPECT_STREQ(rx->token_id, "pseudo.0800aa");
    EXPECT_EQ(rx->refresh, 75);
}

TEST_F(Iterator, FailedSearchPrintsTheLibraryErrorAndGivesNothing) {
    primary_->remove_tree("ztName=users," + root_);
    ASSERT_TRUE(replica_->wait_exists("ztName=users," + root_, false));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(start(ITERATOR_USERS));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("ldap_search_s() failed: No such object", 0), 0u) << err;
}

}  // namespace
}  // namespace zt::test

// Iterators against the sandbox: sorted walks, empty results, kinds that
// do not match, the logged-in selection, the status merge of users and
// desktops, caller filters as the listings pass them, and a failed search.
#include <gtest/gtest.h>

#include <functional>

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
    IteratorPtr start(int kind, const char *filter = nullptr, const char *sort = nullptr) {
        return IteratorPtr(start_iterator(conn_.get(), kind, filter, sort), IteratorFree{conn_.get()});
    }
    // The IDs a walk hands out, in order.
    template <typename Record, typename Next, typename Free>
    std::vector<std::string> ids(AdminIterator *it, Next next, Free free_record) {
        std::vector<std::string> out;
        while (Record *r = next(conn_.get(), it)) {
            out.emplace_back(r->id != nullptr ? r->id : "(nil)");
            free_record(r);
        }
        return out;
    }
    std::vector<std::string> raw_ids(AdminIterator *it) { return ids<RawToken>(it, get_next_raw_token, free_raw_token); }
    std::vector<std::string> user_ids(AdminIterator *it) { return ids<User>(it, get_next_user, free_user); }
};

TEST_F(Iterator, SortsWithoutRegardToCase) {
    for (const char *id : {"c.3", "a.1", "B.2", "D.0"}) put_raw(id);
    IteratorPtr it = start(ITERATOR_RAW_TOKENS, nullptr, "ztID");
    ASSERT_TRUE(it);
    EXPECT_EQ(num_iterator_entries(it.get()), 4);
    EXPECT_EQ(raw_ids(it.get()), (std::vector<std::string>{"a.1", "B.2", "c.3", "D.0"}));
    // Exhausted stays exhausted: the walk never starts over.
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
}

TEST_F(Iterator, EmptyResultHasCountZero) {
    for (int kind : {ITERATOR_DESKTOPS, ITERATOR_USERS, ITERATOR_LOGGED_IN_USERS, ITERATOR_XCONFIG_RTOKENS}) {
        IteratorPtr it = start(kind, nullptr, "ztID");
        ASSERT_TRUE(it) << kind;
        EXPECT_EQ(num_iterator_entries(it.get()), 0) << kind;
    }
    IteratorPtr it = start(ITERATOR_DESKTOPS);
    EXPECT_EQ(get_next_desktop(conn_.get(), it.get()), nullptr);
}

TEST_F(Iterator, WrongKindLeavesThePositionAlone) {
    put_user("w1", "W", {});
    IteratorPtr it = start(ITERATOR_USERS);
    ASSERT_TRUE(it);
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(get_next_desktop(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(get_next_logical_token(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(get_next_xconfig_ltokens(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(log_->lines(), (std::vector<std::string>{"get_next_raw_token(): wrong iterator type",
                                                       "get_next_desktop(): wrong iterator type",
                                                       "get_next_logical_token(): wrong iterator type",
                                                       "get_next_xconfig_ltokens(): wrong iterator type"}));
    EXPECT_EQ(user_ids(it.get()), (std::vector<std::string>{"w1"}));

    IteratorPtr raw = start(ITERATOR_RAW_TOKENS);
    ASSERT_TRUE(raw);
    log_->clear();
    EXPECT_EQ(get_next_user(conn_.get(), raw.get()), nullptr);
    EXPECT_TRUE(log_->has("get_next_user(): wrong iterator type"));
}

TEST_F(Iterator, LoggedInKindSelectsStatusOneAndIgnoresTheFilter) {
    put_user("in1", "Ann", {}, {{"ztStatus", "1"}});
    put_user("out", "Ann", {}, {{"ztStatus", "2"}});
    put_user("never", "Ann", {});
    put_user("in2", "Bob", {}, {{"ztStatus", "1"}});
    IteratorPtr it = start(ITERATOR_LOGGED_IN_USERS, "(ztName=Ann)", "ztID");
    ASSERT_TRUE(it);
    EXPECT_EQ(user_ids(it.get()), (std::vector<std::string>{"in1", "in2"}));
}

TEST_F(Iterator, UsersTakeTheirStatusRecordWhenThereIsOne) {
    put_user("m1", "With", {}, {{"ztStatus", "2"}, {"ztFirstTime", "7"}, {"ztLastDesktop", "d.1"}, {"ztLastTime", "8"}});
    put_user("m2", "Without", {}, {{"ztStatus", "2"}, {"ztFirstTime", "7"}, {"ztLastDesktop", "d.1"}, {"ztLastTime", "8"}});
    DbmUser record{const_cast<char *>("m1"), const_cast<char *>("With"), 100, 1, const_cast<char *>(""), 200};
    ASSERT_EQ(modify_ustatus(conn_->ustatus_db, &record), 0);

    IteratorPtr it = start(ITERATOR_USERS, nullptr, "ztID");
    ASSERT_TRUE(it);
    UserPtr with(get_next_user(conn_.get(), it.get()));
    UserPtr without(get_next_user(conn_.get(), it.get()));
    ASSERT_TRUE(with && without);
    EXPECT_EQ(std::make_tuple(with->create_time, with->status, with->last_time), std::make_tuple(100, 1, 200));
    EXPECT_STREQ(with->last_desktop, "");
    EXPECT_EQ(std::make_tuple(without->create_time, without->status, without->last_time), std::make_tuple(7, 2, 8));
    EXPECT_STREQ(without->last_desktop, "d.1");
}

TEST_F(Iterator, ListingFilterComposesIntoOneConjunction) {
    put_raw("card.ab1");
    put_raw("card.xab2");
    put_raw("card.zz");
    put(dn("desk.ab3", "rawTokens"), {{"objectClass", "ztRawToken"}, {"ztID", "desk.ab3"}, {"ztTokenType", "desktop"}});
    std::string listing = "(zttokentype=user)(ztid=*ab*)";
    IteratorPtr it = start(ITERATOR_RAW_TOKENS, listing.c_str(), "ztID");
    ASSERT_TRUE(it);
    EXPECT_EQ(raw_ids(it.get()), (std::vector<std::string>{"card.ab1", "card.xab2"}));

    IteratorPtr one = start(ITERATOR_RAW_TOKENS, "ztid=card.zz");
    ASSERT_TRUE(one);
    EXPECT_EQ(raw_ids(one.get()), (std::vector<std::string>{"card.zz"}));
}

TEST_F(Iterator, DesktopsTakeTheirStatusRecordWhenThereIsOne) {
    put_desktop("0a0000000001", {{"ztModel", "dir-model"}, {"ztLocation", "Room 1"}, {"ztStatus", "Down"}});
    put_desktop("0a0000000002", {{"ztModel", "dir-model"}});
    DbmDesktop status{const_cast<char *>("0a0000000001"), const_cast<char *>("P9"), const_cast<char *>("4.1"),
                      const_cast<char *>("Up"), const_cast<char *>("1100"), nullptr};
    ASSERT_EQ(modify_dstatus(conn_->dstatus_db, &status), 0);

    IteratorPtr it = start(ITERATOR_DESKTOPS, nullptr, "ztID");
    ASSERT_TRUE(it);
    DesktopPtr merged(get_next_desktop(conn_.get(), it.get()));
    DesktopPtr plain(get_next_desktop(conn_.get(), it.get()));
    ASSERT_TRUE(merged && plain);
    EXPECT_STREQ(merged->model, "P9");
    EXPECT_STREQ(merged->firmware_rev, "4.1");
    EXPECT_STREQ(merged->status, "Up");
    EXPECT_STREQ(merged->last_status_time, "1100");
    EXPECT_STREQ(merged->first_conn_time, "");  // stored as an empty field
    EXPECT_STREQ(merged->location, "Room 1");
    EXPECT_STREQ(plain->model, "dir-model");
    EXPECT_EQ(get_next_desktop(conn_.get(), it.get()), nullptr);
}

TEST_F(Iterator, XconfigKindsListConfiguredTokensOnly) {
    put_logical("user.x1", {}, {{"objectClass", "ztXconfig"}, {"ztScreenResolution", "800x600"}});
    put_logical("user.x2", {});
    put_raw("0800aa", {{"objectClass", "ztXconfig"}, {"ztScreenRefresh", "75"}});
    IteratorPtr lts = start(ITERATOR_XCONFIG_LTOKENS);
    ASSERT_TRUE(lts);
    XconfigPtr lx(get_next_xconfig_ltokens(conn_.get(), lts.get()));
    ASSERT_TRUE(lx);
    EXPECT_STREQ(lx->token_id, "user.x1");
    EXPECT_STREQ(lx->resolution, "800x600");
    EXPECT_EQ(get_next_xconfig_ltokens(conn_.get(), lts.get()), nullptr);

    IteratorPtr rts = start(ITERATOR_XCONFIG_RTOKENS);
    ASSERT_TRUE(rts);
    XconfigPtr rx(get_next_xconfig_rtokens(conn_.get(), rts.get()));
    ASSERT_TRUE(rx);
    EXPECT_STREQ(rx->token_id, "pseudo.0800aa");
    EXPECT_EQ(rx->refresh, 75);
}

TEST_F(Iterator, FailedSearchPrintsTheLibraryErrorAndGivesNothing) {
    primary_->remove_tree("ztName=users," + root_);
    ASSERT_TRUE(replica_->wait_exists("ztName=users," + root_, false));
    testing::internal::CaptureStderr();
    IteratorPtr it = start(ITERATOR_USERS);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(it);
    EXPECT_EQ(err.rfind("ldap_search_s() failed: No such object", 0), 0u) << err;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(start(0));
    EXPECT_FALSE(start(8));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace zt::test

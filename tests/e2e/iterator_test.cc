// SPDX-License-Identifier: GPL-3.0-or-later
// Iterators and desktop reads against the sandbox: sorted walks, the logged-in selection, kinds that do not match, and
// the status files overriding what the directory says of users and desktops.
#include "records_fixture.h"

namespace zt::test {
namespace {

struct IteratorFree {
    AdminConfig *conn;
    void operator()(AdminIterator *it) const { finish_iterator(conn, it); }
};
using IteratorPtr = std::unique_ptr<AdminIterator, IteratorFree>;

class Iterator : public RecordsTest {
protected:
    IteratorPtr start(int kind, const char *filter = nullptr) {
        return IteratorPtr(start_iterator(conn_.get(), kind, filter, "ztID"), IteratorFree{conn_.get()});
    }
    // The IDs the rest of a walk hands out, in order.
    template <typename Record>
    Strings ids(AdminIterator *it, Record *(*next)(AdminConfig *, AdminIterator *), void (*free_record)(Record *)) {
        Strings out;
        while (Record *r = next(conn_.get(), it)) {
            out.emplace_back(r->id);
            free_record(r);
        }
        return out;
    }
};

TEST_F(Iterator, SortsNeverStartsOverAndKeepsToItsKind) {
    for (const char *id : {"c.3", "a.1", "B.2", "D.0"}) put_raw(id);
    IteratorPtr it = start(ITERATOR_RAW_TOKENS);
    EXPECT_EQ(num_iterator_entries(it.get()), 4);
    EXPECT_EQ(ids(it.get(), get_next_raw_token, free_raw_token), (Strings{"a.1", "B.2", "c.3", "D.0"}));
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
    IteratorPtr empty = start(ITERATOR_LOGICAL_TOKENS);
    EXPECT_EQ(num_iterator_entries(empty.get()), 0);
    EXPECT_EQ(get_next_logical_token(conn_.get(), empty.get()), nullptr);

    // The logged-in kind ignores the filter; a wrong kind leaves the position.
    put_user("in1", "Ann", {}, {{"ztStatus", "1"}});
    put_user("out", "Ann", {}, {{"ztStatus", "2"}});
    put_user("never", "Ann", {});
    put_user("in2", "Bob", {}, {{"ztStatus", "1"}});
    log_->clear();
    it = start(ITERATOR_LOGGED_IN_USERS, "(ztName=Ann)");
    EXPECT_EQ(get_next_raw_token(conn_.get(), it.get()), nullptr);
    EXPECT_EQ(log_->lines(), Strings{"get_next_raw_token(): wrong iterator type"});
    EXPECT_EQ(ids(it.get(), get_next_user, free_user), (Strings{"in1", "in2"}));
}

TEST_F(Iterator, StatusFilesOverrideUsersAndDesktops) {
    Attrs status = {{"ztStatus", "2"}, {"ztFirstTime", "7"}, {"ztLastDesktop", "d.1"}, {"ztLastTime", "8"}};
    put_user("m1", "With", {}, status);
    DbmUser record{chars("m1"), chars("With"), 100, 1, chars(""), 200};
    ASSERT_EQ(modify_ustatus(conn_->ustatus_db, &record), 0);
    IteratorPtr users = start(ITERATOR_USERS);
    UserPtr with(get_next_user(conn_.get(), users.get()));
    ASSERT_TRUE(with);
    EXPECT_EQ(std::make_tuple(with->create_time, with->status, with->last_time, std::string(with->last_desktop)),
              std::make_tuple(100, 1, 200, std::string()));

    Attrs seen = {{"ztModel", "dir-model"}, {"ztLocation", "Room 4"}, {"ztDtuTypeGroups", "MULTIHEAD:g1"},
                  {"ztDtuTypeGroups", "MULTIHEAD:g2"}};
    put("0a0000000001", "desktops", "ztDesktop", seen);
    put("0a0000000002", "desktops", "ztDesktop", seen);
    DbmDesktop observed{chars("0a0000000001"), chars("P9"), nullptr, chars("Up"), chars("1100"), chars("1000")};
    ASSERT_EQ(modify_dstatus(conn_->dstatus_db, &observed), 0);
    IteratorPtr desktops = start(ITERATOR_DESKTOPS);
    DesktopPtr walked(get_next_desktop(conn_.get(), desktops.get()));
    DesktopPtr plain(get_next_desktop(conn_.get(), desktops.get()));
    DesktopPtr read(get_desktop(conn_.get(), "0A0000000001"));
    ASSERT_TRUE(walked && plain && read);
    for (const Desktop *d : {walked.get(), read.get()}) {
        EXPECT_EQ(Strings({d->model, d->firmware_rev, d->status, d->first_conn_time, d->location}),
                  (Strings{"P9", "", "Up", "1000", "Room 4"}));
        ASSERT_NE(d->dtugroup, nullptr);
        EXPECT_EQ(Strings(d->dtugroup, d->dtugroup + 2), (Strings{"MULTIHEAD:g1", "MULTIHEAD:g2"}));
    }
    EXPECT_STREQ(plain->model, "dir-model");
    Desktop *none = nullptr;
    EXPECT_EQ(getDtuByFilter(conn_.get(), "ztLocation=Room 4", &none), ADMIN_ERR_NOT_FOUND);  // two match
}

}  // namespace
}  // namespace zt::test

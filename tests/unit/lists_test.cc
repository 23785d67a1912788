// Keyed lists, line arrays of key=value files, HTML escaping and the
// package lookup through the pkginfo stand-in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"
#include "utils.h"

namespace {

using zt::test::TempDir;

struct CFree {
    void operator()(char *s) const { std::free(s); }
};
using CText = std::unique_ptr<char, CFree>;

std::optional<std::string> text(const char *s) { return s ? std::optional<std::string>(s) : std::nullopt; }

// ------------------------------------------------------------ keyed lists

std::vector<std::string> keys_of(const LinkedListNode *list) {
    std::vector<std::string> keys;
    for (; list != nullptr; list = list->next) keys.push_back(list->key);
    return keys;
}

LinkedListNode *build(const std::vector<const char *> &keys, int order) {
    LinkedListNode *list = nullptr;
    for (const char *key : keys) EXPECT_EQ(zt_addNode2List(&list, strdup(key), strdup(key), order), 0);
    return list;
}

TEST(KeyedList, OrderedInsertion) {
    struct {
        std::vector<const char *> keys;
        int order;
        std::vector<std::string> expected;
    } cases[] = {
        {{"b", "a", "c"}, 0, {"a", "b", "c"}},
        {{"b", "a", "c"}, 1, {"c", "b", "a"}},
        {{"b", "a", "b", "a"}, 0, {"a", "a", "b", "b"}},
        {{"a"}, 1, {"a"}},
    };
    for (const auto &c : cases) {
        LinkedListNode *list = build(c.keys, c.order);
        EXPECT_EQ(keys_of(list), c.expected);
        zt_freeLinkedList(list, std::free);
    }
}

TEST(KeyedList, EqualKeysNewestFirst) {
    LinkedListNode *list = nullptr;
    char first[] = "first", second[] = "second";
    ASSERT_EQ(zt_addNode2List(&list, strdup("k"), first, 0), 0);
    ASSERT_EQ(zt_addNode2List(&list, strdup("k"), second, 0), 0);
    void *found = nullptr;
    EXPECT_EQ(zt_findLinkedListNode(list, "k", &found), 0);
    EXPECT_EQ(found, second);
    zt_freeLinkedList(list, nullptr);
}

TEST(KeyedList, InvalidArgumentsAndLookup) {
    LinkedListNode *list = nullptr;
    char data[] = "d";
    char key[] = "k";
    EXPECT_EQ(zt_addNode2List(&list, nullptr, data, 0), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_addNode2List(&list, key, nullptr, 0), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_addNode2List(&list, key, data, 2), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_addNode2List(nullptr, key, data, 0), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(list, nullptr);

    list = build({"x", "y"}, 0);
    void *found = nullptr;
    EXPECT_EQ(zt_findLinkedListNode(list, "y", &found), 0);
    EXPECT_STREQ(static_cast<char *>(found), "y");
    EXPECT_EQ(zt_findLinkedListNode(list, "Y", &found), ADMIN_ERR_NOT_FOUND);
    EXPECT_EQ(zt_findLinkedListNode(nullptr, "y", &found), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_findLinkedListNode(list, nullptr, &found), ADMIN_ERR_INVALID_ARGS);
    EXPECT_EQ(zt_findLinkedListNode(list, "y", nullptr), ADMIN_ERR_INVALID_ARGS);
    zt_freeLinkedList(list, std::free);

    LinkedListNode *node = zt_allocLinkedListNode();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->key, nullptr);
    EXPECT_EQ(node->data, nullptr);
    EXPECT_EQ(node->next, nullptr);
    zt_freeLinkedListNode(node, std::free);
    zt_freeLinkedListNode(nullptr, std::free);
}

// ------------------------------------------------------------ line arrays

// A line array as file_to_array leaves it: owned lines, a null after the last.
class Lines {
public:
    explicit Lines(const std::vector<std::string> &lines) : lines_(ZT_MAX_LINES + 1, nullptr) {
        for (const auto &line : lines) lines_[count_++] = strdup(line.c_str());
    }
    ~Lines() { free_string_array(lines_.data(), count_); }
    char **data() { return lines_.data(); }
    int &count() { return count_; }

private:
    std::vector<char *> lines_;
    int count_ = 0;
};

const std::vector<std::string> kProfile = {
    "# NAME=commented\n", "ulimit -n NAME=1\n", "NAME= x \n", "PATH=/bin\n", "EMPTY=\n", "MULTI==a==b\n",
};

TEST(LineArray, IndexOfSkipsCommentsAndUlimit) {
    Lines lines(kProfile);
    struct {
        const char *key;
        int count;
        int index;
    } cases[] = {
        {"NAME", 6, 2}, {"commented", 6, -1}, {"-n", 6, -1}, {"/bin", 6, 3}, {"PATH", 3, -1}, {"PATH", 0, -1},
    };
    for (const auto &c : cases) EXPECT_EQ(index_of(lines.data(), c.count, c.key), c.index) << c.key;
    EXPECT_EQ(index_of(nullptr, 6, "NAME"), -1);
}

TEST(LineArray, KeyIndexOfComparesTheLineKeyOnly) {
    Lines lines({"PATH=/bin\n", "HOME=/root\n", "no equals here\n", "LATE=1\n"});
    struct {
        const char *key;
        int index;
    } cases[] = {
        {"PATH", 0}, {"PATHNAME", 0}, {"PAT", -1}, {"HOME", 1}, {"LATE", -1}, {"", -1},
    };
    for (const auto &c : cases) EXPECT_EQ(key_index_of(lines.data(), 4, c.key), c.index) << c.key;
    EXPECT_EQ(key_index_of(lines.data(), 0, "PATH"), -1);
    EXPECT_EQ(key_index_of(nullptr, 4, "PATH"), -1);
    EXPECT_EQ(key_index_of(lines.data(), 1, "HOME"), -1);
}

TEST(LineArray, GetValue) {
    Lines lines(kProfile);
    struct {
        const char *key;
        std::optional<std::string> value;
    } cases[] = {
        {"NAME", "x"}, {"EMPTY", std::nullopt}, {"MULTI", "a"}, {"PATH", "/bin"}, {"NONE", std::nullopt},
    };
    for (const auto &c : cases) {
        CText value(get_value(lines.data(), lines.count(), c.key));
        EXPECT_EQ(text(value.get()), c.value) << c.key;
    }
}

TEST(LineArray, ReplaceAndAppend) {
    Lines lines(kProfile);
    EXPECT_EQ(replace_line(lines.data(), lines.count(), "PATH", "/usr/bin"), 0);
    EXPECT_STREQ(lines.data()[3], "PATH=/usr/bin\n");
    EXPECT_EQ(replace_line(lines.data(), lines.count(), "NONE", "x"), -1);
    EXPECT_EQ(replace_line(nullptr, lines.count(), "PATH", "x"), -1);

    EXPECT_EQ(append_line(lines.data(), &lines.count(), "NEW", std::string(300, 'v').c_str()), 0);
    EXPECT_EQ(lines.count(), 7);
    EXPECT_EQ(std::strlen(lines.data()[6]), 255u);
    EXPECT_EQ(std::string(lines.data()[6], 4), "NEW=");
    EXPECT_EQ(lines.data()[7], nullptr);
    EXPECT_EQ(append_line(nullptr, &lines.count(), "K", "V"), -1);
}

TEST(LineArray, AppendStopsAt1000) {
    Lines lines({});
    for (int i = 0; i < ZT_MAX_LINES; ++i) ASSERT_EQ(append_line(lines.data(), &lines.count(), "K", "V"), 0);
    EXPECT_EQ(append_line(lines.data(), &lines.count(), "K", "V"), -1);
    EXPECT_EQ(lines.count(), ZT_MAX_LINES);
    EXPECT_EQ(lines.data()[ZT_MAX_LINES], nullptr);
}

TEST(LineArray, SameKeyValueIncludesTheLineEnd) {
    Lines lines({"A=1\n", "B=2=3\n", "C=x"});
    struct {
        const char *key;
        const char *value;
        int same;
    } cases[] = {
        {"A", "1\n", 1}, {"A", "1", 0}, {"B", "2", 1}, {"C", "x", 1}, {"D", "x", 0}, {"A", nullptr, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(same_keyValue(lines.data(), c.key, c.value), c.same) << c.key;
}

std::vector<std::string> strings_of(char **array) {
    std::vector<std::string> out;
    for (int i = 0; array != nullptr && array[i] != nullptr; ++i) out.push_back(array[i]);
    return out;
}

char **heap_array(const std::vector<std::string> &lines) {
    char **array = nullptr;
    for (const auto &line : lines) zt_add_array(&array, strdup(line.c_str()));
    return array;
}

TEST(LineArray, MergeAddsOnlyMissingKeys) {
    char **destination = heap_array({"A=1\n", "B=2\n"});
    char **source = heap_array({"B=9\n", "C=3\n", "A=8\n", "D=4\n"});
    EXPECT_EQ(merge_keyValue_arrays(&destination, source), 0);
    EXPECT_EQ(strings_of(destination), (std::vector<std::string>{"A=1\n", "B=2\n", "C=3\n", "D=4\n"}));
    EXPECT_EQ(merge_keyValue_arrays(&destination, nullptr), 0);
    EXPECT_EQ(num_strings(destination), 4);
    zt_free_array(destination);

    char **empty = nullptr;
    EXPECT_EQ(merge_keyValue_arrays(&empty, source), 0);
    EXPECT_EQ(strings_of(empty), strings_of(source));
    zt_free_array(empty);
    EXPECT_EQ(merge_keyValue_arrays(nullptr, source), ADMIN_ERR_INVALID_ARGS);
    zt_free_array(source);
}

TEST(LineArray, FileRoundTrip) {
    TempDir dir;
    std::string long_line(300, 'L');
    std::string path = dir.write("profile", "A=1\n\n" + long_line + "\nB=2");
    Lines lines({});
    lines.count() = file_to_array(path.c_str(), lines.data());
    ASSERT_EQ(lines.count(), 5);
    EXPECT_EQ(std::strlen(lines.data()[2]), 255u);
    EXPECT_EQ(std::string(lines.data()[3]), std::string(45, 'L') + "\n");
    EXPECT_STREQ(lines.data()[4], "B=2");
    EXPECT_EQ(lines.data()[5], nullptr);

    std::free(lines.data()[0]);
    lines.data()[0] = strdup("");
    std::string out = dir.path() + "/out";
    EXPECT_EQ(array_to_file(out.c_str(), lines.data(), lines.count()), 0);
    EXPECT_EQ(zt::test::read_file(out), "\n" + long_line + "\nB=2");
    EXPECT_EQ(array_to_file((dir.path() + "/no/such/dir").c_str(), lines.data(), 1), -1);
    EXPECT_EQ(file_to_array((dir.path() + "/absent").c_str(), lines.data()), -1);
}

TEST(LineArray, FileOfMoreThan1000Lines) {
    TempDir dir;
    std::string contents;
    for (int i = 0; i < 1005; ++i) contents += "K" + std::to_string(i) + "=v\n";
    std::string path = dir.write("big", contents);
    Lines lines({});
    lines.count() = file_to_array(path.c_str(), lines.data());
    EXPECT_EQ(lines.count(), ZT_MAX_LINES);
    EXPECT_STREQ(lines.data()[999], "K999=v\n");
    EXPECT_EQ(lines.data()[ZT_MAX_LINES], nullptr);
}

// ---------------------------------------------------------- text escaping

TEST(SafeStr, EscapesHtmlSpecials) {
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {nullptr, "&nbsp;"},
        {"", "&nbsp;"},
        {"plain text", "plain text"},
        {"a&b", "a&#038;b"},
        {"<\">", "&#060;&#034;&#062;"},
        {"'", "'"},
    };
    for (const auto &c : cases) {
        CText out(zt_safe_str(c.in));
        EXPECT_STREQ(out.get(), c.out) << (c.in ? c.in : "(null)");
    }
    std::string many(1000, '&');
    CText out(zt_safe_str(many.c_str()));
    EXPECT_EQ(std::strlen(out.get()), 6000u);
}

// --------------------------------------------------------- package lookup

class PackageRoot : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.path() + "/bin");
        std::filesystem::copy_file(zt::test::build_path("pkginfo"), dir_.path() + "/bin/pkginfo");
        dir_.write("var/sadm/pkg/KRVXzt/pkginfo", "PKG=KRVXzt\nBASEDIR=/opt\n");
        dir_.write("var/sadm/pkg/KRVXztx/pkginfo", "NAME=x\nBASEDIR=/srv/x dir\nVERSION=1\n");
        setenv("ZTADMIN_ROOT", dir_.path().c_str(), 1);
        setenv("ZTADMIN_LOG", (dir_.path() + "/log").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZTADMIN_ROOT");
        unsetenv("ZTADMIN_LOG");
    }
    std::string log() { return zt::test::read_file(dir_.path() + "/log"); }

    TempDir dir_;
};

TEST_F(PackageRoot, KnownPackages) {
    CText root(get_package_root("KRVXzt"));
    EXPECT_EQ(text(root.get()), "/opt");
    CText spaced(get_package_root("KRVXztx"));
    EXPECT_EQ(text(spaced.get()), "/srv/x dir");
    EXPECT_EQ(log(), "");
}

TEST_F(PackageRoot, Failures) {
    struct {
        const char *package;
        const char *message;
    } cases[] = {
        {"KRVXnone", "14 get_package_root(): Got unexpected data from pkginfo\n"},
        {"a;touch x", "14 get_package_root(): Invalid package name\n"},
        {"$(id)", "14 get_package_root(): Invalid package name\n"},
        {"", "14 get_package_root(): Invalid package name\n"},
        {nullptr, "14 get_package_root(): Invalid package name\n"},
    };
    for (const auto &c : cases) {
        unlink((dir_.path() + "/log").c_str());
        EXPECT_EQ(get_package_root(c.package), nullptr);
        EXPECT_EQ(log(), c.message) << (c.package ? c.package : "(null)");
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/x"));
}

TEST_F(PackageRoot, NameLengthLimit) {
    std::string name98(98, 'P');
    dir_.write("var/sadm/pkg/" + name98 + "/pkginfo", "BASEDIR=/p98\n");
    CText root(get_package_root(name98.c_str()));
    EXPECT_EQ(text(root.get()), "/p98");
    EXPECT_EQ(get_package_root((name98 + "P").c_str()), nullptr);
}

TEST_F(PackageRoot, ExitStatusAndExtraLines) {
    // A program that prints one line but fails, and one that prints two.
    std::string program = dir_.path() + "/bin/pkginfo";
    struct {
        const char *script;
        const char *message;
    } cases[] = {
        {"#!/bin/sh\necho /opt\nexit 3\n", "14 get_package_root(): Could not get package location\n"},
        {"#!/bin/sh\necho /opt\necho /usr\n", "14 get_package_root(): Got unexpected data from pkginfo\n"},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(program);
        dir_.write("bin/pkginfo", c.script);
        chmod(program.c_str(), 0755);
        unlink((dir_.path() + "/log").c_str());
        EXPECT_EQ(get_package_root("KRVXzt"), nullptr);
        EXPECT_EQ(log(), c.message);
    }
}

}  // namespace

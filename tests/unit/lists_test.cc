// SPDX-License-Identifier: GPL-3.0-or-later
// Keyed lists, line arrays of key=value files, HTML escaping and the package lookup through the pkginfo stand-in.
#include <sys/stat.h>

#include "test_support.h"

namespace {

using namespace zt::test;

TEST(KeyedList, OrderedInsertionAndLookup) {
    // Keys inserted in this order, the list order, and the data found for "b" (equal keys: newest first).
    for (auto [keys, order, expected, found_b] :
         {std::tuple<Strings, int, Strings, const char *>{{"b", "a", "c"}, 0, {"a", "b", "c"}, "b0"},
          {{"b", "a", "c"}, 1, {"c", "b", "a"}, "b0"}, {{"b", "a", "b", "a"}, 0, {"a", "a", "b", "b"}, "b2"}}) {
        LinkedListNode *list = nullptr;
        for (size_t i = 0; i < keys.size(); ++i) {
            std::string data = keys[i] + std::to_string(i);
            ASSERT_EQ(zt_addNode2List(&list, strdup(keys[i].c_str()), strdup(data.c_str()), order), 0);
        }
        Strings seen;
        for (LinkedListNode *node = list; node != nullptr; node = node->next) seen.push_back(node->key);
        EXPECT_EQ(seen, expected);
        void *found = nullptr;
        EXPECT_EQ(zt_findLinkedListNode(list, "b", &found), 0);
        EXPECT_STREQ(static_cast<char *>(found), found_b);
        EXPECT_EQ(zt_findLinkedListNode(list, "B", &found), ADMIN_ERR_NOT_FOUND);
        zt_freeLinkedList(list, std::free);
    }
    LinkedListNode *list = nullptr;
    char text[] = "k";
    EXPECT_EQ(zt_addNode2List(&list, text, text, 2), ADMIN_ERR_INVALID_ARGS);
}

// A line array as file_to_array leaves it: owned lines, a null after the last.
struct Lines {
    explicit Lines(const Strings &lines = {}) { for (const auto &l : lines) data[count++] = strdup(l.c_str()); }
    ~Lines() { free_string_array(data.data(), count); }
    std::vector<char *> data = std::vector<char *>(ZT_MAX_LINES + 1, nullptr);
    int count = 0;
};

TEST(LineArray, FindEditMergeAndFiles) {
    Lines lines({"# NAME=commented\n", "ulimit -n NAME=1\n", "NAME= x \n", "PATH=/bin\n", "EMPTY=\n", "MULTI==a==b\n"});
    for (auto [key, count, index] : {std::tuple{"NAME", 6, 2}, {"commented", 6, -1}, {"/bin", 6, 3}, {"PATH", 3, -1}})
        EXPECT_EQ(index_of(lines.data.data(), count, key), index) << key;
    for (auto [key, value] : {std::pair<const char *, Opt>{"NAME", "x"}, {"EMPTY", {}}, {"MULTI", "a"}, {"NONE", {}}})
        EXPECT_EQ(take(get_value(lines.data.data(), lines.count, key)), value) << key;
    // key_index_of compares a line's key with as many leading characters of the search key, and stops
    // at a line without "="; same_keyValue compares up to the next "=" or the end of the line.
    Lines keyed({"PATH=/bin\n", "B=2=3\n", "no equals here\n", "LATE=1\n"});
    for (auto [key, count, index] : {std::tuple{"PATHNAME", 4, 0}, {"PAT", 4, -1}, {"B", 1, -1}, {"LATE", 4, -1}})
        EXPECT_EQ(key_index_of(keyed.data.data(), count, key), index) << key;
    for (auto [key, value, same] : {std::tuple{"PATH", "/bin\n", 1}, {"PATH", "/bin", 0}, {"B", "2", 1}})
        EXPECT_EQ(same_keyValue(keyed.data.data(), key, value), same) << key << value;

    Lines edited({"# PATH=x\n", "PATH=/bin\n"});
    EXPECT_EQ(replace_line(edited.data.data(), edited.count, "PATH", "/usr/bin"), 0);
    EXPECT_STREQ(edited.data[1], "PATH=/usr/bin\n");
    EXPECT_EQ(replace_line(edited.data.data(), edited.count, "NONE", "x"), -1);
    EXPECT_EQ(append_line(edited.data.data(), &edited.count, "NEW", std::string(300, 'v').c_str()), 0);
    EXPECT_EQ(edited.data[2], "NEW=" + std::string(251, 'v'));  // cut to 255 bytes
    while (edited.count < ZT_MAX_LINES) ASSERT_EQ(append_line(edited.data.data(), &edited.count, "K", "V"), 0);
    EXPECT_EQ(append_line(edited.data.data(), &edited.count, "K", "V"), -1);
    EXPECT_EQ(edited.count, ZT_MAX_LINES);

    char **destination = nullptr, **source = nullptr;
    for (const char *line : {"A=1\n", "B=2\n"}) zt_add_array(&destination, strdup(line));
    for (const char *line : {"B=9\n", "C=3\n", "A=8\n"}) zt_add_array(&source, strdup(line));
    EXPECT_EQ(merge_keyValue_arrays(&destination, source), 0);
    EXPECT_EQ(merge_keyValue_arrays(&destination, nullptr), 0);
    EXPECT_EQ(Strings(destination, destination + num_strings(destination)), (Strings{"A=1\n", "B=2\n", "C=3\n"}));
    zt_free_array(destination);
    zt_free_array(source);

    TempDir dir;
    std::string contents = "A=1\n\n" + std::string(300, 'L') + "\n";
    for (int i = 0; i < 1000; ++i) contents += "K=v\n";
    Lines read;
    read.count = file_to_array(dir.write("profile", contents).c_str(), read.data.data());
    ASSERT_EQ(read.count, ZT_MAX_LINES);
    EXPECT_EQ(read.data[3], std::string(45, 'L') + "\n");  // a long line arrives in two pieces
    EXPECT_EQ(read.data[ZT_MAX_LINES], nullptr);
    EXPECT_EQ(array_to_file((dir.path() + "/out").c_str(), read.data.data(), 5), 0);
    EXPECT_EQ(read_file(dir.path() + "/out"), "A=1\n\n" + std::string(300, 'L') + "\nK=v\n");
    EXPECT_EQ(file_to_array((dir.path() + "/absent").c_str(), read.data.data()), -1);
    EXPECT_EQ(array_to_file((dir.path() + "/no/such/dir").c_str(), read.data.data(), 1), -1);
}

TEST(SafeStr, EscapesHtmlSpecials) {
    for (auto [in, out] : {std::pair<const char *, const char *>{nullptr, "&nbsp;"}, {"", "&nbsp;"},
                           {"plain 'text'", "plain 'text'"}, {"a&b", "a&#038;b"}, {"<\">", "&#060;&#034;&#062;"}})
        EXPECT_EQ(take(zt_safe_str(in)), out);
    EXPECT_EQ(take(zt_safe_str(std::string(1000, '&').c_str()))->size(), 6000u);
}

TEST(PackageRoot, LookupsAndRefusals) {
    RootDir dir;
    LogFile log;
    dir.link_program("pkginfo", "bin/pkginfo");
    std::string name98(98, 'P');
    dir.write("var/sadm/pkg/" + name98 + "/pkginfo", "NAME=x\nBASEDIR=/srv/x dir\nVERSION=1\n");
    auto lookup = [&](const std::string &package) {
        log.clear();
        Opt root = take(get_package_root(package.c_str()));
        return std::make_pair(root, log.all());
    };
    const std::string prefix = "14 get_package_root(): ", invalid = prefix + "Invalid package name\n";
    EXPECT_EQ(lookup(name98), std::make_pair(Opt("/srv/x dir"), std::string()));
    EXPECT_EQ(lookup("KRVXnone"), std::make_pair(Opt(), prefix + "Got unexpected data from pkginfo\n"));
    for (const auto &name : Strings{"a;touch x", "$(id)", "", name98 + "P"}) {  // the name reaches a shell
        EXPECT_EQ(lookup(name), std::make_pair(Opt(), invalid)) << name;
    }
    // A program that fails after one line, and one that prints two.
    for (auto [tail, message] : {std::pair{"exit 3", "Could not get package location\n"},
                                 {"echo /usr", "Got unexpected data from pkginfo\n"}}) {
        std::filesystem::remove(dir.path() + "/bin/pkginfo");
        chmod(dir.write("bin/pkginfo", std::string("#!/bin/sh\necho /opt\n") + tail + "\n").c_str(), 0755);
        EXPECT_EQ(lookup(name98), std::make_pair(Opt(), prefix + message)) << tail;
    }
}

}  // namespace

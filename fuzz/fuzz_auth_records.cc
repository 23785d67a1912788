// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_auth_records.cc - an authentication manager's "status" reply of
// arbitrary bytes, cut into lines and records and parsed into
// KeyValuesNode lists.  The first input byte picks the mode and the read
// size; the rest is the reply.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "session_client.h"
#include "utils.h"

namespace {

namespace ss = zt::session;
using zt::fuzz::check;

const char *const kKeys[] = {"LocalName", "MultiheadPrimary", "annotation.x_token", "terminalPackets", nullptr};

// The list the reply yields when it arrives in reads of `chunk` bytes,
// flattened to text so two lists can be compared.
std::string parse(const std::string &reply, int mode, const char *filter, size_t chunk, int *count) {
    KeyValuesNode *list = nullptr;
    std::string wanted = ss::wanted_keys_text(kKeys);
    ss::RecordFramer framer([&](const char *record) { parse_record(&list, record, mode, wanted.c_str(), filter); });
    ss::feed_reply(reply, chunk, [&](std::string_view line) { return framer.line(line); });
    std::string flat;
    *count = 0;
    const char *previous = nullptr;
    for (KeyValuesNode *n = list; n != nullptr; n = n->next, ++*count) {
        check(n->terminal_CID != nullptr && n->token_name != nullptr, "kept records have a terminal and a token");
        check(std::strlen(n->terminal_CID) <= ss::kMaxLine && std::strlen(n->token_name) <= ss::kMaxLine,
              "values fit a line");
        check(reply.find(n->terminal_CID) != std::string::npos, "the terminal comes from the reply");
        if (mode != 3) check(reply.find(n->token_name) != std::string::npos, "the token comes from the reply");
        if (mode == 2) check(*n->token_name != '\0', "mode 2 drops empty tokens");
        if (filter != nullptr) check(std::strstr(filter, n->terminal_CID) != nullptr, "filter respected");
        const char *key = mode == 1 ? n->terminal_CID : n->token_name;
        check(previous == nullptr || std::strcmp(previous, key) <= 0, "ordered by the mode's key");
        previous = key;
        flat += std::string(n->terminal_CID) + '\x1f' + n->token_name + '\x1f' + std::to_string(n->flag) + '\x1e';
    }
    zt_free_KeyValuesNode_list(list);
    return flat;
}

size_t count_lines(const std::string &reply, const std::string &line) {
    size_t count = 0;
    for (size_t at = 0; (at = reply.find(line, at)) != std::string::npos; at += line.size())
        count += at == 0 || reply[at - 1] == '\n';
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    set_suppress_output(1);
    int mode = 1 + data[0] % 4;
    size_t chunk = 1 + (data[0] >> 2) % 64;
    std::string reply(reinterpret_cast<const char *>(data) + 1, size - 1);
    const char *filter = (data[0] & 0x80) != 0 ? "IEEE802.0200aa IEEE802.0200ab x" : nullptr;

    int whole_count = 0, pieces_count = 0;
    std::string whole = parse(reply, mode, filter, ss::kReadSize, &whole_count);
    std::string pieces = parse(reply, mode, filter, chunk, &pieces_count);
    check(whole == pieces, "the same records however the reply is split into reads");
    check(static_cast<size_t>(whole_count) <= count_lines(reply, "end\n"), "at most one record per end line");
    return 0;
}

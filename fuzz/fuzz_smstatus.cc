// SPDX-License-Identifier: GPL-3.0-or-later
// fuzz_smstatus.cc - session-manager reply lines of arbitrary bytes: an
// error text is a word the manager sent after "ERR/smstatus", and a reply
// without an "OK/smstatus" line sets no count.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "session_client.h"
#include "utils.h"

using zt::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    set_suppress_output(1);
    std::string reply(reinterpret_cast<const char *>(data), size);
    smstatus *status = allocate_smstatus();
    bool any_ok = false;
    std::string last_error;
    zt::session::feed_reply(reply, zt::session::kReadSize, [&](std::string_view line) {
        std::vector<std::string_view> words = zt::session::split_words(line);
        if (!words.empty() && words[0] == "OK/smstatus") any_ok = true;
        if (words.size() > 1 && words[0] == "ERR/smstatus") last_error = words[1];
        parse_smstatus_line(&status, std::string(line).c_str());
        return zt::session::LineStatus::kTaken;
    });
    if (status->error != nullptr) {
        check(status->error == last_error, "error text is the word after the last ERR/smstatus");
    } else {
        check(last_error.empty(), "an error line with a word sets the error text");
    }
    if (!any_ok) {
        check(status->stime == 0 && status->sessions == 0 && status->connected == 0 && status->auth == 0,
              "counts only from OK/smstatus lines");
    }
    free_smstatus(status);
    return 0;
}

/* SPDX-License-Identifier: GPL-3.0-or-later */
// scenario.h - what a stand-in daemon answers, read from a JSON scenario file.
//
// A scenario is a list of rules tried in order against the request line,
// and an optional default rule for requests no rule matches.  Each rule
// gives the reply bytes and how they are delivered (delay, chunks, what
// happens after the reply).  The file is read afresh for every connection,
// so tests can change the answers without restarting the daemon; it is
// parsed again only when its text changed.
#ifndef ZT_STANDIN_SCENARIO_H
#define ZT_STANDIN_SCENARIO_H

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zt::standin {

// A scenario that cannot be read or does not have the expected shape; the
// text says where ("replies[2]: ...").
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Rule {
    enum class Match { Exact, Prefix, Any };
    enum class Then { Close, Hold, Endless };

    Match match = Match::Any;
    std::string pattern;      // the request ("request") or its beginning ("prefix")
    std::string reply;        // records, then lines, then raw bytes
    int delay_ms = 0;         // before the first byte
    int chunk_bytes = 0;      // > 0: the reply goes out in pieces of this size
    int chunk_pause_ms = 0;   // between two pieces
    Then then = Then::Close;  // after the reply
    bool silent = false;      // send nothing, hold the connection

    // True when this rule answers `request` (always for the default rule).
    bool matches(std::string_view request) const;
};

struct Scenario {
    std::vector<Rule> replies;
    std::optional<Rule> fallback;  // the "default" rule

    // The first rule that matches `request`, else the default rule, else null.
    const Rule *answer(std::string_view request) const;
};

// Parses a scenario from JSON text; throws ScenarioError.
Scenario parse_scenario(std::string_view text);

// Reads and parses the scenario file at `path`; throws ScenarioError.
Scenario read_scenario(const std::string &path);

// A scenario file as the connections of one daemon read it: each reads the
// text afresh, but only a changed text is parsed again, so that a reply of
// tens of thousands of records costs its connection a read and a compare
// rather than a parse.  Safe for concurrent connections.
class ScenarioFile {
public:
    explicit ScenarioFile(std::string path) : path_(std::move(path)) {}
    // The scenario the file holds now; throws ScenarioError.
    std::shared_ptr<const Scenario> current();

private:
    std::string path_;
    std::mutex mutex_;
    std::string text_;
    std::shared_ptr<const Scenario> parsed_;
};

}  // namespace zt::standin

#endif  // ZT_STANDIN_SCENARIO_H

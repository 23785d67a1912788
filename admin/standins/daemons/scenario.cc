// SPDX-License-Identifier: GPL-3.0-or-later
// scenario.cc - reading and checking scenario files.
//
// Strict on purpose: a misspelt key or a value of the wrong type is an
// error rather than silently ignored, so a test that means "delay_ms" and
// writes "delay" fails loudly instead of testing nothing.
#include "scenario.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include <nlohmann/json.hpp>

namespace zt::standin {

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string &where, const std::string &what) {
    throw ScenarioError(where + ": " + what);
}

// Refuses keys outside `allowed`; "comment" is allowed everywhere.
void check_keys(const json &object, std::initializer_list<std::string_view> allowed, const std::string &where) {
    for (const auto &item : object.items()) {
        if (item.key() == "comment") continue;
        bool known = false;
        for (std::string_view key : allowed) known = known || item.key() == key;
        if (!known) fail(where, "unknown key \"" + item.key() + "\"");
    }
}

std::string text_of(const json &value, const std::string &where) {
    if (!value.is_string()) fail(where, "must be a string");
    return value.get<std::string>();
}

std::vector<std::string> texts_of(const json &value, const std::string &where) {
    if (!value.is_array()) fail(where, "must be an array of strings");
    std::vector<std::string> texts;
    for (size_t i = 0; i < value.size(); ++i) texts.push_back(text_of(value[i], where + "[" + std::to_string(i) + "]"));
    return texts;
}

// A non-negative integer that fits an int; 0 when absent.
int count_of(const json &rule, const char *key, const std::string &where) {
    if (!rule.contains(key)) return 0;
    const json &value = rule[key];
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > INT_MAX)
        fail(where + "." + key, "must be a non-negative integer");
    return value.get<int>();
}

// The reply: each record framed by "begin" and "end", then the lines,
// each ending in a line feed, then the raw bytes as they are.
std::string reply_of(const json &rule, const std::string &where) {
    std::string reply;
    if (rule.contains("records")) {
        const json &records = rule["records"];
        if (!records.is_array()) fail(where + ".records", "must be an array of arrays of strings");
        for (size_t i = 0; i < records.size(); ++i) {
            reply += "begin\n";
            for (const std::string &line : texts_of(records[i], where + ".records[" + std::to_string(i) + "]"))
                reply += line + "\n";
            reply += "end\n";
        }
    }
    if (rule.contains("lines"))
        for (const std::string &line : texts_of(rule["lines"], where + ".lines")) reply += line + "\n";
    if (rule.contains("raw")) reply += text_of(rule["raw"], where + ".raw");
    return reply;
}

Rule::Then then_of(const json &rule, const std::string &where) {
    if (!rule.contains("then")) return Rule::Then::Close;
    std::string then = text_of(rule["then"], where + ".then");
    if (then == "close") return Rule::Then::Close;
    if (then == "hold") return Rule::Then::Hold;
    if (then == "endless") return Rule::Then::Endless;
    fail(where + ".then", "must be \"close\", \"hold\" or \"endless\"");
}

// Sets how `rule` is matched from its "request" or "prefix" key; the
// default rule has neither.
void match_of(const json &object, Rule &rule, bool is_default, const std::string &where) {
    bool exact = object.contains("request"), prefix = object.contains("prefix");
    if (is_default) {
        if (exact || prefix) fail(where, "the default rule answers every request: no \"request\" or \"prefix\"");
        return;
    }
    if (exact == prefix) fail(where, "needs exactly one of \"request\" and \"prefix\"");
    rule.match = exact ? Rule::Match::Exact : Rule::Match::Prefix;
    rule.pattern = text_of(object[exact ? "request" : "prefix"], where + (exact ? ".request" : ".prefix"));
}

Rule rule_of(const json &object, bool is_default, const std::string &where) {
    if (!object.is_object()) fail(where, "must be an object");
    check_keys(object, {"request", "prefix", "records", "lines", "raw", "delay_ms", "chunk_bytes",
                        "chunk_pause_ms", "then", "silent"}, where);
    Rule rule;
    match_of(object, rule, is_default, where);
    rule.reply = reply_of(object, where);
    rule.delay_ms = count_of(object, "delay_ms", where);
    rule.chunk_bytes = count_of(object, "chunk_bytes", where);
    rule.chunk_pause_ms = count_of(object, "chunk_pause_ms", where);
    rule.then = then_of(object, where);
    if (object.contains("silent")) {
        if (!object["silent"].is_boolean()) fail(where + ".silent", "must be true or false");
        rule.silent = object["silent"].get<bool>();
    }
    return rule;
}

}  // namespace

bool Rule::matches(std::string_view request) const {
    switch (match) {
        case Match::Exact: return request == pattern;
        case Match::Prefix: return request.starts_with(pattern);
        case Match::Any: return true;
    }
    return false;
}

const Rule *Scenario::answer(std::string_view request) const {
    for (const Rule &rule : replies)
        if (rule.matches(request)) return &rule;
    return fallback ? &*fallback : nullptr;
}

Scenario parse_scenario(std::string_view text) {
    json top;
    try {
        top = json::parse(text);
    } catch (const json::parse_error &e) {
        throw ScenarioError(e.what());
    }
    if (!top.is_object()) fail("scenario", "must be a JSON object");
    check_keys(top, {"replies", "default"}, "scenario");
    Scenario scenario;
    if (top.contains("replies")) {
        const json &replies = top["replies"];
        if (!replies.is_array()) fail("replies", "must be an array of rules");
        for (size_t i = 0; i < replies.size(); ++i)
            scenario.replies.push_back(rule_of(replies[i], false, "replies[" + std::to_string(i) + "]"));
    }
    if (top.contains("default")) scenario.fallback = rule_of(top["default"], true, "default");
    return scenario;
}

namespace {

std::string scenario_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path + ": cannot read (" + std::strerror(errno) + ")");
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

Scenario parse_scenario_of(const std::string &path, const std::string &text) {
    try {
        return parse_scenario(text);
    } catch (const ScenarioError &e) {
        throw ScenarioError(path + ": " + e.what());
    }
}

}  // namespace

Scenario read_scenario(const std::string &path) { return parse_scenario_of(path, scenario_text(path)); }

std::shared_ptr<const Scenario> ScenarioFile::current() {
    std::string text = scenario_text(path_);
    std::lock_guard<std::mutex> guard(mutex_);
    if (!parsed_ || text != text_) {
        parsed_ = std::make_shared<const Scenario>(parse_scenario_of(path_, text));
        text_ = std::move(text);
    }
    return parsed_;
}

}  // namespace zt::standin

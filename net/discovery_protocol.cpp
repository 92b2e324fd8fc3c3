#include "net/discovery_protocol.h"

#include <cctype>
#include <exception>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace pt = boost::property_tree;

namespace {

// Parses text as JSON; a message instead when it is not a JSON document the tree can hold.
std::optional<pt::ptree> parse(std::string_view text, std::string* error) {
    try {
        std::istringstream in{std::string(text)};
        pt::ptree tree;
        pt::read_json(in, tree);
        return tree;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

// A strict reader of the one shape a query has: an object of plain members. The property
// tree's reader takes nesting, and the answer it writes back grows with it; this one refuses
// it before anything is built.
class query_checker {
public:
    explicit query_checker(std::string_view text) : text_(text) {}

    // An empty string when well formed; else why not.
    std::string check() {
        blank();
        if (!take('{')) return "a query is a JSON object";
        blank();
        if (!take('}')) {
            for (;;) {
                std::string key;
                if (!string(&key)) return "malformed member name";
                blank();
                if (!take(':')) return "':' expected";
                blank();
                if (peek() == '{' || peek() == '[') return "nested values are not allowed in a query";
                std::string value;
                const bool is_string = peek() == '"';
                if (is_string ? !string(&value) : !plain()) return "malformed value";
                if (key == "type" || key == "service") {
                    if (!is_string) return "\"" + key + "\" must be a string";
                    if (++seen_[key == "type"] > 1) return "\"" + key + "\" given twice";
                }
                blank();
                if (take('}')) break;
                if (!take(',')) return "',' or '}' expected";
                blank();
            }
        }
        while (at_ < text_.size() && (text_[at_] == '\0' || is_blank(text_[at_]))) ++at_;
        if (at_ != text_.size()) return "garbage after the query";
        return {};
    }

private:
    static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool take(char c) {
        if (peek() != c || at_ >= text_.size()) return false;
        ++at_;
        return true;
    }
    void blank() {
        while (at_ < text_.size() && is_blank(text_[at_])) ++at_;
    }
    bool string(std::string* out) {
        if (!take('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (at_ >= text_.size()) return false;
                const char e = text_[at_++];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i, ++at_)
                        if (at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_]))) return false;
                    out->push_back('?');  // only "type" and "service" are compared, never escaped
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                } else {
                    out->push_back(e);
                }
                continue;
            }
            out->push_back(c);
        }
        return false;
    }
    bool plain() {
        for (std::string_view word : {"true", "false", "null"})
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                return true;
            }
        const std::size_t start = at_;
        take('-');
        auto digits = [this] {
            const std::size_t from = at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
            return at_ > from;
        };
        if (!digits()) return false;
        if (take('.') && !digits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        return at_ > start;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    int seen_[2] = {0, 0};  // "service", "type"
};

}  // namespace

std::string discovery_service_name(const std::wstring& side) {
    return side == L"левый" ? "quillmar_left" : "quillmar_right";
}

discovery_decision decide_discovery(std::string_view datagram, const std::string& own_name) {
    discovery_decision decision;
    if (datagram.size() > discovery_datagram_size) {
        decision.what = discovery_decision::action::error;
        decision.text = "discovery query longer than " + std::to_string(discovery_datagram_size) + " bytes";
        return decision;
    }
    std::string error = query_checker(datagram).check();
    // The checker allows NUL padding after the object, the tree's reader does not.
    std::optional<pt::ptree> tree;
    if (error.empty()) tree = parse(datagram.substr(0, datagram.find('\0')), &error);
    if (!tree) {
        decision.what = discovery_decision::action::error;
        decision.text = error;
        return decision;
    }
    if (tree->get<std::string>("type", "") != "query") return decision;
    const std::string service = tree->get<std::string>("service", "");
    if (service != "any" && service != own_name) return decision;
    try {
        // put() replaces a member in place, so the answer keeps the query's order.
        tree->put("type", "answer");
        tree->put("service", own_name);
        std::ostringstream out;
        pt::write_json(out, *tree, true);
        if (out.str().size() > discovery_answer_limit) return decision;  // would amplify: no answer
        decision.what = discovery_decision::action::answer;
        decision.text = out.str();
    } catch (const std::exception& e) {
        decision.what = discovery_decision::action::error;
        decision.text = e.what();
    }
    return decision;
}

std::string discovery_query(const std::string& service) {
    pt::ptree tree;
    tree.put("type", "query");
    tree.put("service", service);
    std::ostringstream out;
    pt::write_json(out, tree, false);
    std::string text = out.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::optional<std::string> discovery_answer_service(std::string_view datagram) {
    auto tree = parse(datagram, nullptr);
    if (!tree || tree->get<std::string>("type", "") != "answer") return std::nullopt;
    return tree->get<std::string>("service", "");
}

#include "net/discovery_protocol.h"

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

std::string_view query_text(std::string_view datagram) {
    datagram = datagram.substr(0, discovery_datagram_size);
    return datagram.substr(0, datagram.find('\0'));
}

}  // namespace

std::string discovery_service_name(const std::wstring& side) {
    return side == L"левый" ? "quillmar_left" : "quillmar_right";
}

discovery_decision decide_discovery(std::string_view datagram, const std::string& own_name) {
    discovery_decision decision;
    std::string error;
    auto tree = parse(query_text(datagram), &error);
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

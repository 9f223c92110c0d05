// The JSON writer: every byte's escape, integers over the full range, and
// trees far deeper than any stack could hold by recursion.
#include <cstdint>
#include <limits>
#include <string>

#include "check.hpp"
#include "dax_parser/dax_parser.hpp"
#include "native/json_writer.hpp"

namespace {

std::string string_json(std::string_view text) {
    dax::json::Buffer out;
    dax::json::write_string(out, text);
    return std::string(out.view());
}

std::string unsigned_json(std::size_t value) {
    dax::json::Buffer out;
    dax::json::write_unsigned(out, value);
    return std::string(out.view());
}

}  // namespace

TEST_CASE(every_control_byte_is_escaped) {
    static const char* const expected[0x20] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    for (int byte = 0; byte < 0x20; ++byte) {
        const char c = static_cast<char>(byte);
        CHECK_EQ(string_json(std::string_view(&c, 1)), "\"" + std::string(expected[byte]) + "\"");
    }
}

TEST_CASE(other_bytes_are_copied) {
    struct Case {
        std::string_view text;
        const char* expected;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\there\nnext", "\"tab\\there\\nnext\""},
        {"/ \x7f", "\"/ \x7f\""},
        {"\xc3\xa9\xe2\x80\xa8", "\"\xc3\xa9\xe2\x80\xa8\""},  // é and U+2028 stay raw
        {"\"\"", "\"\\\"\\\"\""},
        {"end\\", "\"end\\\\\""},
    };
    for (const auto& c : cases) CHECK_EQ(string_json(c.text), std::string(c.expected));
}

TEST_CASE(unsigned_integers_are_written_in_full) {
    CHECK_EQ(unsigned_json(0), std::string("0"));
    CHECK_EQ(unsigned_json(7), std::string("7"));
    CHECK_EQ(unsigned_json(4294967296u), std::string("4294967296"));
    CHECK_EQ(unsigned_json(std::numeric_limits<std::uint64_t>::max()), std::string("18446744073709551615"));
}

TEST_CASE(buffer_starts_at_128_and_doubles) {
    dax::json::Buffer out;
    CHECK_EQ(out.capacity(), 128u);
    out.append(std::string(129, 'x'));
    CHECK_EQ(out.capacity(), 256u);
    out.append(std::string(1000, 'y'));
    CHECK_EQ(out.capacity(), 1129u);  // the length needed, when more than double
    CHECK_EQ(out.size(), 1129u);
}

TEST_CASE(a_million_operator_chain_is_parsed_written_and_destroyed) {
    constexpr int operators = 1'000'000;
    std::string input = "1";
    for (int i = 0; i < operators; ++i) input += "+1";
    auto e = dax::parse_expression(input);
    CHECK(e.ok());
    dax::json::Buffer out;
    dax::json::write_expr(out, e.value());
    const std::string head = R"({"Binary":{"op":"Add","left":)";
    const std::string tail = R"(,"right":{"Number":"1"}}})";
    CHECK_EQ(out.size(), operators * (head.size() + tail.size()) + std::string(R"({"Number":"1"})").size());
    CHECK(out.view().substr(0, head.size()) == head);
    CHECK(out.view().substr(out.size() - tail.size()) == tail);
}

TEST_CASE(deep_mixed_trees_round_through_the_writer) {
    // Every composite form on the spine of a long chain.
    std::string input = "0";
    for (int i = 0; i < 20000; ++i) input += " - f(VAR v = {(1, 2), 3} RETURN -v, T[c].[y], (2))";
    auto e = dax::parse_expression(input);
    CHECK(e.ok());
    dax::json::Buffer out;
    dax::json::write_expr(out, e.value());
    CHECK(out.view().find(R"({"VarBlock":{"decls":[{"name":"v","expr":{"TableConstructor":[[{"Number":"1"},{"Number":"2"}],[{"Number":"3"}]]}}],"body":{"Unary":{"op":"Minus","expr":{"Identifier":"v"}}}})") != std::string_view::npos);
    CHECK(out.view().find(R"({"HierarchyRef":{"table":{"name":"T","quoted":false},"column":"c","levels":["y"]}},{"Paren":{"Number":"2"}}]}}}})") != std::string_view::npos);
}

// Throughput of the library alone, with no Python in the loop: the lexer,
// the parsers and the JSON writer over the corpus files, in MB/s of input.
// Usage: bench_throughput CORPUS_DIR [REPEATS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dax_parser/dax_parser.hpp"
#include "json_writer.hpp"

namespace {

std::vector<std::string> read_files(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> paths;
    if (std::filesystem::is_directory(dir))
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".dax") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> texts;
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        texts.push_back(text.str());
    }
    return texts;
}

std::size_t total_size(const std::vector<std::string>& texts) {
    std::size_t n = 0;
    for (const auto& t : texts) n += t.size();
    return n;
}

// Best of `repeats` timed runs of `pass` over all texts, in MB/s.
template <class Pass>
double best_mb_per_s(const std::vector<std::string>& texts, int repeats, Pass pass) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& t : texts) pass(t);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return static_cast<double>(total_size(texts)) / 1e6 / best;
}

volatile std::size_t sink;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [REPEATS]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path corpus = argv[1];
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 20;
    const auto expressions = read_files(corpus / "expressions");
    const auto queries = read_files(corpus / "queries");
    std::vector<std::string> all = expressions;
    all.insert(all.end(), queries.begin(), queries.end());
    std::string concatenated;
    for (const auto& t : all) concatenated += t;
    const std::vector<std::string> one_text = {concatenated};

    std::printf("%-40s %10s\n", "case", "MB/s");
    std::printf("%-40s %10.1f\n", "lex, corpus concatenated",
                best_mb_per_s(one_text, repeats, [](const std::string& t) { sink = dax::lex(t).value().size(); }));
    std::printf("%-40s %10.1f\n", "lex, per file",
                best_mb_per_s(all, repeats, [](const std::string& t) { sink = dax::lex(t).ok(); }));
    std::printf("%-40s %10.1f\n", "lex + JSON, per file", best_mb_per_s(all, repeats, [](const std::string& t) {
                    auto tokens = dax::lex(t);
                    dax::json::Buffer out;
                    dax::json::write_tokens(out, tokens.value());
                    sink = out.size();
                }));
    std::printf("%-40s %10.1f\n", "parse_expression, per file",
                best_mb_per_s(expressions, repeats, [](const std::string& t) { sink = dax::parse_expression(t).ok(); }));
    std::printf("%-40s %10.1f\n", "parse_expression + JSON, per file",
                best_mb_per_s(expressions, repeats, [](const std::string& t) {
                    auto e = dax::parse_expression(t);
                    dax::json::Buffer out;
                    if (e) dax::json::write_expr(out, e.value());
                    sink = out.size();
                }));
    std::printf("%-40s %10.1f\n", "parse_query, per file",
                best_mb_per_s(queries, repeats, [](const std::string& t) { sink = dax::parse_query(t).ok(); }));
    std::printf("%-40s %10.1f\n", "parse_query + JSON, per file",
                best_mb_per_s(queries, repeats, [](const std::string& t) {
                    auto q = dax::parse_query(t);
                    dax::json::Buffer out;
                    if (q) dax::json::write_query(out, q.value());
                    sink = out.size();
                }));
    return 0;
}

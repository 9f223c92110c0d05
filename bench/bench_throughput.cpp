// Throughput of the library alone, with no Python in the loop: the lexer,
// the parsers and the JSON writer, over the corpus files (one call per file)
// and over large synthetic inputs.
//
// Usage: bench_throughput CORPUS_DIR [--repeats N] [--sizes 1,10,100]
//
// Rates are MB/s of input (1 MB = 10^6 bytes) and GB/s of JSON produced; the
// "JSON writer alone" rows time the writer on results built beforehand. Each
// figure is the best of several runs; "sys %" (kernel time over wall time)
// and "faults/MB" (minor page faults per MB of input) belong to that run.
//
// Built by bench/run_all.py; by hand:
//   g++ -O2 -std=c++20 -Idax_parser/include -Idax_parser/src -Ipython-module
//       bench/bench_throughput.cpp dax_parser/src/*.cpp python-module/native/json_writer.cpp
//       -o build/bench/bench_throughput
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include "dax_parser/dax_parser.hpp"
#include "native/json_writer.hpp"

namespace {

using Clock = std::chrono::steady_clock;

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

volatile std::size_t sink;

// The best of several runs: wall seconds, and the system CPU seconds and
// minor page faults of that run (the cost of first touching fresh memory).
struct Timing {
    double seconds = 1e300;
    double sys_seconds = 0;
    long minor_faults = 0;
};

double sys_seconds_now(long& minor_faults) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    minor_faults = usage.ru_minflt;
    return usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

Timing best_seconds(int repeats, const std::function<void()>& pass) {
    Timing best;
    for (int r = 0; r < repeats; ++r) {
        long faults_before = 0, faults_after = 0;
        const double sys_before = sys_seconds_now(faults_before);
        const auto start = Clock::now();
        pass();
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        const double sys_after = sys_seconds_now(faults_after);
        if (elapsed.count() < best.seconds)
            best = {elapsed.count(), sys_after - sys_before, faults_after - faults_before};
    }
    return best;
}

void print_header() {
    std::printf("%-50s %8s %10s %10s %10s %6s %10s\n", "case", "input MB", "best ms", "MB/s in", "JSON GB/s",
                "sys %", "faults/MB");
}

// One row: `in_bytes` of input, `out_bytes` of JSON (0 if none). "sys %" is
// the share of the wall time spent in the kernel, "faults/MB" the minor page
// faults per MB of input.
void print_row(const std::string& name, std::size_t in_bytes, std::size_t out_bytes, const Timing& t) {
    char json_rate[32] = "-";
    if (out_bytes) std::snprintf(json_rate, sizeof json_rate, "%.2f", out_bytes / 1e9 / t.seconds);
    std::printf("%-50s %8.2f %10.2f %10.1f %10s %6.0f %10.0f\n", name.c_str(), in_bytes / 1e6, t.seconds * 1e3,
                in_bytes / 1e6 / t.seconds, json_rate, 100 * t.sys_seconds / t.seconds,
                t.minor_faults / (in_bytes / 1e6));
}

// The synthetic inputs; bench/run_all.py builds the same texts.
std::string define_measures(std::size_t size) {
    const std::string tail = "EVALUATE {1}\n";
    std::string s = "DEFINE\n";
    for (std::size_t i = 1; s.size() + tail.size() < size; ++i)
        s += " MEASURE T[m" + std::to_string(i) + "] = SUM(T[a]) + 1\n";
    return s + tail;
}

std::string table_constructor(std::size_t size) {
    std::string s = "{";
    for (std::size_t i = 1; s.size() + 1 < size; ++i) {
        if (i > 1) s += ", ";
        s += "(" + std::to_string(i) + ", \"" + static_cast<char>('a' + (i - 1) % 26) + "\")";
    }
    return s + "}";
}

std::string many_evaluates(std::size_t size) {
    std::string s;
    for (std::size_t i = 1; s.size() < size; ++i)
        s += "EVALUATE ROW(\"v\", SUM(T[a]) + " + std::to_string(i) + ")\n";
    return s;
}

enum class Entry { Lex, Expression, Query };

// Times the entry alone, the entry followed by the JSON writer, and the JSON
// writer alone, over `texts` (one call each).
void bench_entry(const std::string& label, Entry entry, const std::vector<std::string>& texts, int repeats) {
    const std::size_t in_bytes = total_size(texts);
    std::size_t out_bytes = 0;
    auto write_one = [&](const std::string& t, dax::json::Buffer& out) -> bool {
        switch (entry) {
            case Entry::Lex: {
                auto r = dax::lex(t);
                if (!r) return false;
                dax::json::write_tokens(out, r.value(), t);
                return true;
            }
            case Entry::Expression: {
                auto r = dax::parse_expression(t);
                if (!r) return false;
                dax::json::write_expr(out, r.value());
                return true;
            }
            case Entry::Query: {
                auto r = dax::parse_query(t);
                if (!r) return false;
                dax::json::write_query(out, r.value());
                return true;
            }
        }
        return false;
    };
    const char* name = entry == Entry::Lex ? "lex" : entry == Entry::Expression ? "parse_expression" : "parse_query";

    Timing t_entry = best_seconds(repeats, [&] {
        for (const auto& t : texts) {
            switch (entry) {
                case Entry::Lex: sink = dax::lex(t).ok(); break;
                case Entry::Expression: sink = dax::parse_expression(t).ok(); break;
                case Entry::Query: sink = dax::parse_query(t).ok(); break;
            }
        }
    });
    print_row(std::string(name) + ", " + label, in_bytes, 0, t_entry);

    Timing t_both = best_seconds(repeats, [&] {
        std::size_t n = 0;
        for (const auto& t : texts) {
            dax::json::Buffer out;
            write_one(t, out);
            n += out.size();
        }
        out_bytes = n;
    });
    print_row(std::string(name) + " + JSON, " + label, in_bytes, out_bytes, t_both);

    // The writer alone, on the results of all the texts built beforehand.
    Timing t_write;
    if (entry == Entry::Lex) {
        std::vector<std::pair<dax::TokenVector, const std::string*>> done;
        for (const auto& t : texts)
            if (auto r = dax::lex(t)) done.emplace_back(std::move(r).value(), &t);
        t_write = best_seconds(repeats, [&] {
            for (const auto& [tokens, text] : done) {
                dax::json::Buffer out;
                dax::json::write_tokens(out, tokens, *text);
                sink = out.size();
            }
        });
    } else if (entry == Entry::Expression) {
        std::vector<dax::Expr> done;
        for (const auto& t : texts)
            if (auto r = dax::parse_expression(t)) done.push_back(std::move(r).value());
        t_write = best_seconds(repeats, [&] {
            for (const auto& d : done) {
                dax::json::Buffer out;
                dax::json::write_expr(out, d);
                sink = out.size();
            }
        });
    } else {
        std::vector<dax::Query> done;
        for (const auto& t : texts)
            if (auto r = dax::parse_query(t)) done.push_back(std::move(r).value());
        t_write = best_seconds(repeats, [&] {
            for (const auto& d : done) {
                dax::json::Buffer out;
                dax::json::write_query(out, d);
                sink = out.size();
            }
        });
    }
    print_row(std::string("  JSON writer alone, ") + label, in_bytes, out_bytes, t_write);
}

std::vector<int> parse_sizes(const char* text) {
    std::vector<int> sizes;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) sizes.push_back(std::atoi(item.c_str()));
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [--repeats N] [--sizes 1,10,100]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path corpus = argv[1];
    int repeats = 10;
    std::vector<int> sizes = {1, 10, 100};
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--repeats") && i + 1 < argc) repeats = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--sizes") && i + 1 < argc) sizes = parse_sizes(argv[++i]);
        else if (std::isdigit(static_cast<unsigned char>(argv[i][0]))) repeats = std::atoi(argv[i]);
    }

    // Only the files each entry accepts, as the Python side does.
    auto accepted = [](const std::vector<std::string>& texts, Entry entry) {
        std::vector<std::string> ok;
        for (const auto& t : texts) {
            bool good = entry == Entry::Lex          ? dax::lex(t).ok()
                        : entry == Entry::Expression ? dax::parse_expression(t).ok()
                                                     : dax::parse_query(t).ok();
            if (good) ok.push_back(t);
        }
        return ok;
    };
    const auto expressions = read_files(corpus / "expressions");
    const auto queries = read_files(corpus / "queries");
    std::vector<std::string> all = expressions;
    all.insert(all.end(), queries.begin(), queries.end());

    std::printf("Corpus, one call per file (%zu expression files, %zu query files)\n", expressions.size(),
                queries.size());
    print_header();
    bench_entry("corpus per file", Entry::Lex, accepted(all, Entry::Lex), repeats);
    bench_entry("corpus per file", Entry::Expression, accepted(expressions, Entry::Expression), repeats);
    bench_entry("corpus per file", Entry::Query, accepted(queries, Entry::Query), repeats);

    std::printf("\nLarge synthetic inputs, one call each\n");
    print_header();
    for (int mb : sizes) {
        const std::size_t size = static_cast<std::size_t>(mb) * 1000000;
        const int reps = mb >= 100 ? 2 : mb >= 10 ? 3 : std::max(repeats, 5);
        {
            const std::vector<std::string> text = {define_measures(size)};
            bench_entry(std::to_string(mb) + " MB DEFINE measures", Entry::Lex, text, reps);
            bench_entry(std::to_string(mb) + " MB DEFINE measures", Entry::Query, text, reps);
        }
        {
            const std::vector<std::string> text = {table_constructor(size)};
            bench_entry(std::to_string(mb) + " MB table constructor", Entry::Lex, text, reps);
            bench_entry(std::to_string(mb) + " MB table constructor", Entry::Expression, text, reps);
        }
        {
            const std::vector<std::string> text = {many_evaluates(size)};
            bench_entry(std::to_string(mb) + " MB many EVALUATE", Entry::Query, text, reps);
        }
    }
    return 0;
}

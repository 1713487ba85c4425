// The lookups of parsed answers against libxml2's own XPath on the same
// documents, and a count of the heap allocations made inside the lookups.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "allocation_counter.hpp"
#include "qz/xml.hpp"

namespace {

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

// An answer of about `wanted` nodes: a root with many <item> elements, each
// holding a <v> element with a text; the one <wanted/> element stands in the
// first item, whose subtree the search visits last. The root's last child
// <last/> is the worst case of a child lookup.
struct Answer {
    std::unique_ptr<xmlDoc, DocFree> doc;
    std::int64_t nodes = 0;
    std::int64_t bytes = 0;  // heap that the parsed tree holds
    xmlNode* wanted = nullptr;
};

std::int64_t countNodes(const xmlNode* node) {
    std::int64_t n = 0;
    for (; node; node = node->next) n += 1 + countNodes(node->children);
    return n;
}

Answer buildAnswer(std::int64_t wantedNodes) {
    const std::int64_t items = (wantedNodes - 3) / 3;
    std::string text = "<?xml version=\"1.0\"?>\n<answer>";
    text.reserve(static_cast<std::size_t>(items) * 32 + 64);
    for (std::int64_t i = 0; i < items; ++i) {
        text += "<item><v>";
        text += std::to_string(i);
        text += i == 0 ? "</v><wanted/></item>" : "</v></item>";
    }
    text += "<last/></answer>";
    Answer answer;
    const std::size_t heapBefore = mallinfo2().uordblks;
    answer.doc.reset(xmlReadMemory(text.data(), static_cast<int>(text.size()), "answer.xml", nullptr,
                                   XML_PARSE_NOBLANKS | XML_PARSE_HUGE));
    if (!answer.doc) throw std::runtime_error("the benchmark answer does not parse");
    answer.bytes = static_cast<std::int64_t>(mallinfo2().uordblks - heapBefore);
    answer.nodes = countNodes(answer.doc->children);
    answer.wanted = xmlDocGetRootElement(answer.doc.get())->children->children->next;
    return answer;
}

std::map<std::int64_t, Answer> answers;  // freed before libxml2 is cleaned up

const Answer& answerOf(std::int64_t nodes) {
    auto it = answers.find(nodes);
    if (it == answers.end()) it = answers.emplace(nodes, buildAnswer(nodes)).first;
    return it->second;
}

xmlNode* xpathFind(xmlDoc* doc, const xmlChar* expression) {
    xmlXPathContext* context = xmlXPathNewContext(doc);
    xmlXPathObject* result = xmlXPathEvalExpression(expression, context);
    xmlNode* found = nullptr;
    if (result && result->nodesetval && result->nodesetval->nodeNr > 0) found = result->nodesetval->nodeTab[0];
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(context);
    return found;
}

// The floor of any search that visits every node: one walk in document order
// (the order of memory, as the parser allocated the nodes) with the same
// in-place name check. Not a lookup of this library, only a yardstick.
xmlNode* documentOrderWalk(xmlDoc* doc, const std::string& name) {
    xmlNode* node = doc->children;
    while (node) {
        const char* n = reinterpret_cast<const char*>(node->name);
        if (n && std::strcmp(n, name.c_str()) == 0) return node;
        if (node->children && node->type != XML_ENTITY_REF_NODE) {
            node = node->children;
            continue;
        }
        while (node && !node->next) node = node->parent == reinterpret_cast<xmlNode*>(doc) ? nullptr : node->parent;
        if (node) node = node->next;
    }
    return nullptr;
}

void reportAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs_per_call"] = benchmark::Counter(static_cast<double>(bench::allocationCount() - before),
                                                           benchmark::Counter::kAvgIterations);
}

void BM_findAnyNodeWithName(benchmark::State& state) {
    const Answer& answer = answerOf(state.range(0));
    const std::string name = "wanted";
    if (qz::findAnyNodeWithName(answer.doc.get(), name) != answer.wanted ||
        xpathFind(answer.doc.get(), BAD_CAST "//wanted") != answer.wanted) {
        state.SkipWithError("the lookups do not find the same node");
        return;
    }
    const std::uint64_t before = bench::allocationCount();
    for (auto _ : state) benchmark::DoNotOptimize(qz::findAnyNodeWithName(answer.doc.get(), name));
    reportAllocations(state, before);
    state.counters["nodes"] = static_cast<double>(answer.nodes);
    state.counters["tree_bytes"] = static_cast<double>(answer.bytes);
}

void BM_xpathDescendant(benchmark::State& state) {
    const Answer& answer = answerOf(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(xpathFind(answer.doc.get(), BAD_CAST "//wanted"));
    state.counters["nodes"] = static_cast<double>(answer.nodes);
}

void BM_documentOrderWalk(benchmark::State& state) {
    const Answer& answer = answerOf(state.range(0));
    const std::string name = "last";  // the last node in document order
    xmlNode* last = xmlDocGetRootElement(answer.doc.get())->last;
    if (documentOrderWalk(answer.doc.get(), name) != last) {
        state.SkipWithError("the walk misses the last node");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(documentOrderWalk(answer.doc.get(), name));
    state.counters["nodes"] = static_cast<double>(answer.nodes);
}

void BM_findImmediateChildWithName(benchmark::State& state) {
    const Answer& answer = answerOf(state.range(0));
    const std::string name = "last";
    xmlNode* last = xmlDocGetRootElement(answer.doc.get())->last;
    if (qz::findImmediateChildWithName(answer.doc.get(), name) != last) {
        state.SkipWithError("the child lookup misses the last child");
        return;
    }
    const std::uint64_t before = bench::allocationCount();
    for (auto _ : state) benchmark::DoNotOptimize(qz::findImmediateChildWithName(answer.doc.get(), name));
    reportAllocations(state, before);
    state.counters["nodes"] = static_cast<double>(answer.nodes);
}

}  // namespace

BENCHMARK(BM_findAnyNodeWithName)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_xpathDescendant)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_documentOrderWalk)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_findImmediateChildWithName)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    xmlInitParser();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    answers.clear();
    xmlCleanupParser();
    return 0;
}

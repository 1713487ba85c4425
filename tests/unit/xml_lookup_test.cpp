// Lookups in parsed answers: search order, matching rules, attributes, and
// trees that are very wide, very deep or refer to themselves.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <functional>
#include <memory>
#include <random>

#include "qz/ws.hpp"
#include "qz/xml.hpp"

namespace {

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

Doc parse(const std::string& text) {
    return Doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "test.xml", nullptr, XML_PARSE_NOBLANKS));
}

std::string nameOf(const xmlNode* n) { return n ? reinterpret_cast<const char*>(n->name) : "(null)"; }
std::string attr(xmlNode* n, const char* key) { return qz::getNodeAttributes(n)[key]; }

// The search written as its definition reads, to compare against.
xmlNode* searchByDefinition(xmlNode* n, const std::string& name) {
    if (!n || name.empty()) return nullptr;
    if (n->name && name == reinterpret_cast<const char*>(n->name)) return n;
    if (xmlNode* r = searchByDefinition(n->next, name)) return r;
    return searchByDefinition(n->children, name);
}

class XmlLookup : public ::testing::Test {
protected:
    static void SetUpTestSuite() { qz::WS::initialize_third_party_libs(); }
};

TEST_F(XmlLookup, SiblingsBeforeChildrenAndSubtreesFromTheLast) {
    // P has K(k1, k2), L(l1), M(m1).
    const char* shape =
        "<P id='P'><K id='K'><k1 id='k1'/><k2 id='k2'/></K><L id='L'><l1 id='l1'/></L>"
        "<M id='M'><m1 id='m1'/></M></P>";
    struct Case {
        std::vector<std::string> renamed;
        std::string found;
    };
    const Case cases[] = {
        {{"k1", "m1"}, "m1"}, {{"K", "m1"}, "K"}, {{"l1", "k2"}, "l1"}, {{"k1", "k2"}, "k1"},
        {{"m1"}, "m1"},       {{"P", "K"}, "P"},  {{}, "(none)"},
    };
    for (const auto& c : cases) {
        Doc doc = parse(shape);
        std::function<void(xmlNode*)> rename = [&](xmlNode* n) {
            for (; n; n = n->next) {
                if (n->type == XML_ELEMENT_NODE) {
                    for (const auto& r : c.renamed) {
                        if (attr(n, "id") == r) xmlNodeSetName(n, BAD_CAST "w");
                    }
                }
                rename(n->children);
            }
        };
        rename(xmlDocGetRootElement(doc.get()));
        xmlNode* found = qz::findAnyNodeWithName(doc.get(), "w");
        EXPECT_EQ(found ? attr(found, "id") : "(none)", c.found);
    }
}

TEST_F(XmlLookup, StartAtAnInnerNode) {
    Doc doc = parse("<r><a><w id='in-a'/></a><b><w id='in-b'/></b><c/></r>");
    xmlNode* a = xmlDocGetRootElement(doc.get())->children;
    xmlNode* b = a->next;
    EXPECT_EQ(attr(qz::findAnyNodeWithName(a, "w"), "id"), "in-b");  // a later sibling's subtree first
    EXPECT_EQ(attr(qz::findAnyNodeWithName(b, "w"), "id"), "in-b");
    EXPECT_EQ(qz::findAnyNodeWithName(b->next, "w"), nullptr);  // never an earlier sibling
    EXPECT_EQ(qz::findAnyNodeWithName(b, "r"), nullptr);        // never an ancestor
}

TEST_F(XmlLookup, AgreesWithTheDefinitionOnRandomTrees) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        std::function<void(int)> grow = [&](int depth) {
            int children = depth > 5 ? 0 : static_cast<int>(random() % 4);
            for (int i = 0; i < children; ++i) {
                const char* name = random() % 5 == 0 ? "w" : "n";
                text += std::string("<") + name + " id='" + std::to_string(text.size()) + "'>";
                grow(depth + 1);
                text += std::string("</") + name + ">";
            }
        };
        text = "<root>";
        grow(0);
        text += "</root>";
        Doc doc = parse(text);
        xmlNode* root = xmlDocGetRootElement(doc.get());
        EXPECT_EQ(qz::findAnyNodeWithName(root, "w"), searchByDefinition(root, "w")) << text;
        if (root->children) {
            xmlNode* inner = root->children;
            EXPECT_EQ(qz::findAnyNodeWithName(inner, "w"), searchByDefinition(inner, "w")) << text;
        }
    }
}

TEST_F(XmlLookup, MatchingRules) {
    Doc doc = parse(
        "<?xml version='1.0'?><r xmlns:q='urn:q'><Status/><q:status id='ns'/>"
        "<t>text</t><![CDATA[raw]]><!--note--><status id='plain'/></r>");
    xmlNode* root = xmlDocGetRootElement(doc.get());
    EXPECT_EQ(attr(qz::findAnyNodeWithName(doc.get(), "status"), "id"), "ns");  // prefix ignored
    EXPECT_EQ(nameOf(qz::findAnyNodeWithName(doc.get(), "Status")), "Status");  // case matters
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), "STATUS"), nullptr);
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), ""), nullptr);
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), "statu"), nullptr);
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), "status2"), nullptr);
    xmlNode* text = qz::findAnyNodeWithName(doc.get(), "text");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->type, XML_TEXT_NODE);
    EXPECT_TRUE(qz::getNodeAttributes(text).empty());
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), "comment")->type, XML_COMMENT_NODE);
    EXPECT_EQ(qz::findImmediateChildWithName(root, "t"), root->children->next->next);
    EXPECT_EQ(qz::findImmediateChildWithName(root, "text"), nullptr);  // a grandchild
    EXPECT_EQ(qz::findImmediateChildWithName(root, "r"), nullptr);     // not the parent itself
    EXPECT_EQ(qz::findImmediateChildWithName(root, ""), nullptr);
}

TEST_F(XmlLookup, NullsGiveEmptyResults) {
    xmlDoc* noDoc = nullptr;
    xmlNode* noNode = nullptr;
    EXPECT_EQ(qz::findAnyNodeWithName(noDoc, "a"), nullptr);
    EXPECT_EQ(qz::findAnyNodeWithName(noNode, "a"), nullptr);
    EXPECT_EQ(qz::findImmediateChildWithName(noDoc, "a"), nullptr);
    EXPECT_TRUE(qz::findAllSiblingsWithName(noDoc, "a").empty());
    EXPECT_TRUE(qz::getNodeAttributes(nullptr).empty());
    EXPECT_TRUE(qz::findAnyNodeAndGetAttribs(noDoc, "a").empty());
    EXPECT_TRUE(qz::findAnyNodeAndGetAttribs(noNode, "a").empty());
}

TEST_F(XmlLookup, DocumentFormsStartAtTheFirstTopLevelNode) {
    Doc commentFirst = parse("<!--lead--><r><a/></r>");
    EXPECT_EQ(qz::findImmediateChildWithName(commentFirst.get(), "a"), nullptr);
    EXPECT_NE(qz::findAnyNodeWithName(commentFirst.get(), "a"), nullptr);

    Doc siblings = parse("<r><a id='1'/><b/><a id='2'/><a id='3'/><c><a id='4'/></c></r>");
    std::vector<std::string> ids;
    for (xmlNode* n : qz::findAllSiblingsWithName(siblings.get(), "a")) ids.push_back(attr(n, "id"));
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));

    Doc typed = parse("<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r x CDATA #IMPLIED>]><r x='1'/>");
    xmlNode* found = qz::findAnyNodeWithName(typed.get(), "r");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, XML_DTD_NODE);
    EXPECT_TRUE(qz::getNodeAttributes(found).empty());
    EXPECT_TRUE(qz::findAnyNodeAndGetAttribs(typed.get(), "r").empty());
}

TEST_F(XmlLookup, Attributes) {
    Doc doc = parse(
        "<!DOCTYPE r [<!ENTITY e 'E'>]>"
        "<r xmlns:p='urn:p' xmlns:q='urn:q' empty='' p:dup='first' q:dup='second' ref='x&e;y'/>");
    // From the document, "r" first finds the document type node, named after the root.
    EXPECT_TRUE(qz::findAnyNodeAndGetAttribs(doc.get(), "r").empty());
    auto a = qz::getNodeAttributes(xmlDocGetRootElement(doc.get()));
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a["empty"], "");
    EXPECT_EQ(a["dup"], "second");
    EXPECT_EQ(a["ref"], "x");
}

TEST_F(XmlLookup, AMillionSiblingsCostNoStack) {
    std::string text = "<r><first><inner/></first>";
    text.reserve(9'000'000);
    for (int i = 0; i < 1'000'000; ++i) text += "<s/>";
    text += "<last/></r>";
    Doc doc = parse(text);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(nameOf(qz::findAnyNodeWithName(doc.get(), "last")), "last");
    EXPECT_EQ(nameOf(qz::findAnyNodeWithName(doc.get(), "inner")), "inner");
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), "absent"), nullptr);
    EXPECT_EQ(qz::findAllSiblingsWithName(doc.get(), "s").size(), 1'000'000u);
    xmlNode* root = xmlDocGetRootElement(doc.get());
    EXPECT_EQ(nameOf(qz::findImmediateChildWithName(root, "last")), "last");
}

TEST_F(XmlLookup, DeepTrees) {
    // As deep as the parser goes by default.
    std::string text;
    const int depth = 255;
    for (int i = 0; i < depth; ++i) text += "<d>";
    text += "<bottom/>";
    for (int i = 0; i < depth; ++i) text += "</d>";
    Doc parsed = parse(text);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(nameOf(qz::findAnyNodeWithName(parsed.get(), "bottom")), "bottom");
    EXPECT_EQ(qz::findAnyNodeWithName(parsed.get(), "absent"), nullptr);

    // Far deeper, built by hand, with a sibling at every level.
    Doc built(xmlNewDoc(BAD_CAST "1.0"));
    xmlNode* node = xmlNewNode(nullptr, BAD_CAST "d");
    xmlDocSetRootElement(built.get(), node);
    for (int i = 0; i < 20000; ++i) {
        xmlNewChild(node, nullptr, BAD_CAST "leaf", nullptr);
        node = xmlNewChild(node, nullptr, BAD_CAST "d", nullptr);
    }
    xmlNewChild(node, nullptr, BAD_CAST "bottom", nullptr);
    EXPECT_EQ(nameOf(qz::findAnyNodeWithName(built.get(), "bottom")), "bottom");
    EXPECT_EQ(qz::findAnyNodeWithName(built.get(), "absent"), nullptr);
}

TEST_F(XmlLookup, EntityReferencesDoNotLoop) {
    // The text of "a" refers to "b", declared before it: following the
    // reference into the declarations would come back round for ever.
    Doc doc = parse("<!DOCTYPE r [<!ENTITY b 'x'><!ENTITY a '&b;'>]><r><i>&a;</i><w/></r>");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(qz::findAnyNodeWithName(doc.get(), "absent"), nullptr);
    EXPECT_EQ(nameOf(qz::findAnyNodeWithName(xmlDocGetRootElement(doc.get()), "w")), "w");
}

}  // namespace

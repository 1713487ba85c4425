#include "qz/xml.hpp"

#include <array>
#include <cstring>
#include <vector>

namespace qz {

namespace {

// Compares in place, reading at most one byte past the wanted length: the
// search visits every node of a large answer, so no library call per node.
bool matches(const xmlNode* node, const std::string& wanted) {
    const char* name = reinterpret_cast<const char*>(node->name);
    if (name == nullptr) return false;
    const char* w = wanted.data();
    const std::size_t n = wanted.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (name[i] != w[i] || name[i] == '\0') return false;
    }
    return name[n] == '\0';
}

xmlNode* firstTopLevelNode(xmlDoc* document) { return document ? document->children : nullptr; }

// An entity reference's children pointer leads to the shared entity
// declaration in the document type, out of the tree; following it can cycle
// (an entity whose text refers to one declared before it), so the search
// treats the reference as a leaf.
xmlNode* childrenOf(const xmlNode* node) { return node->type == XML_ENTITY_REF_NODE ? nullptr : node->children; }

// The nodes whose child chains are being searched, innermost last. Parsed
// answers are at most a few hundred levels deep, so the path lives on the
// call stack; only deeper trees (built by hand) borrow the heap.
class Path {
public:
    void push(xmlNode* node) {
        if (size_ < inline_.size()) {
            inline_[size_] = node;
        } else {
            overflow_.push_back(node);
        }
        ++size_;
    }
    xmlNode* top() const { return size_ <= inline_.size() ? inline_[size_ - 1] : overflow_.back(); }
    void pop() {
        if (size_ > inline_.size()) overflow_.pop_back();
        --size_;
    }
    bool empty() const { return size_ == 0; }

private:
    std::array<xmlNode*, 512> inline_;
    std::vector<xmlNode*> overflow_;
    std::size_t size_ = 0;
};

}  // namespace

// The order is that of the recursive definition "the node, else the search
// from its next sibling, else the search from its first child": a run of
// siblings is scanned to its end before any child, and the subtrees follow
// from the last sibling's back to the first's. Written as a loop so that a
// million siblings cost no stack.
xmlNode* findAnyNodeWithName(xmlNode* start, const std::string& name) {
    if (start == nullptr || name.empty()) return nullptr;
    xmlNode* cur = nullptr;
    for (xmlNode* s = start; s; s = s->next) {
        if (matches(s, name)) return s;
        cur = s;
    }
    Path path;  // parents whose child chain holds `cur`
    for (;;) {
        // The subtrees are searched from the last sibling back to the first,
        // against the order of memory: ask for the previous sibling now,
        // while this subtree is searched.
        if (cur->prev) __builtin_prefetch(cur->prev);
        if (xmlNode* child = childrenOf(cur)) {
            xmlNode* last = nullptr;
            for (xmlNode* s = child; s; s = s->next) {
                if (matches(s, name)) return s;
                last = s;
            }
            path.push(cur);
            cur = last;
            continue;
        }
        // The subtree of `cur` is done: go on with the previous sibling within
        // the current chain, or finish the parent's subtree.
        for (;;) {
            xmlNode* chainStart = path.empty() ? start : path.top()->children;
            if (cur != chainStart) {
                cur = cur->prev;
                break;
            }
            if (path.empty()) return nullptr;
            cur = path.top();
            path.pop();
        }
    }
}

xmlNode* findAnyNodeWithName(xmlDoc* document, const std::string& name) {
    return document ? findAnyNodeWithName(firstTopLevelNode(document), name) : nullptr;
}

xmlNode* findImmediateChildWithName(xmlNode* parent, const std::string& name) {
    if (parent == nullptr || name.empty()) return nullptr;
    for (xmlNode* child = parent->children; child; child = child->next) {
        if (matches(child, name)) return child;
    }
    return nullptr;
}

xmlNode* findImmediateChildWithName(xmlDoc* document, const std::string& name) {
    return document ? findImmediateChildWithName(firstTopLevelNode(document), name) : nullptr;
}

std::list<xmlNode*> findAllSiblingsWithName(xmlNode* start, const std::string& name) {
    std::list<xmlNode*> found;
    for (xmlNode* s = findAnyNodeWithName(start, name); s; s = s->next) {
        if (matches(s, name)) found.push_back(s);
    }
    return found;
}

std::list<xmlNode*> findAllSiblingsWithName(xmlDoc* document, const std::string& name) {
    if (document == nullptr) return {};
    return findAllSiblingsWithName(firstTopLevelNode(document), name);
}

std::map<std::string, std::string> getNodeAttributes(xmlNode* node) {
    std::map<std::string, std::string> attributes;
    // Only elements carry an attribute list; other node kinds (a document
    // type node, say) have a different layout behind the same pointer.
    if (node == nullptr || node->type != XML_ELEMENT_NODE) return attributes;
    for (xmlAttr* a = node->properties; a; a = a->next) {
        std::string key = a->name ? reinterpret_cast<const char*>(a->name) : "";
        const xmlNode* first = a->children;
        attributes[key] = first && first->content ? reinterpret_cast<const char*>(first->content) : "";
    }
    return attributes;
}

std::map<std::string, std::string> findAnyNodeAndGetAttribs(xmlNode* start, const std::string& name) {
    return getNodeAttributes(findAnyNodeWithName(start, name));
}

std::map<std::string, std::string> findAnyNodeAndGetAttribs(xmlDoc* document, const std::string& name) {
    return getNodeAttributes(findAnyNodeWithName(document, name));
}

}  // namespace qz

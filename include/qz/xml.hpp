#pragma once
// Lookups in parsed answers. They only read the tree: no copy, no change, no
// libxml2 call. Names match byte for byte (local names, case-sensitive); an
// empty name matches nothing.
//
//   xmlDoc* doc = xmlParseDoc(BAD_CAST "<r><status success=\"true\"/></r>");
//   auto status = qz::findAnyNodeAndGetAttribs(doc, "status");   // {"success": "true"}
//   xmlFreeDoc(doc);

#include <libxml/tree.h>

#include <list>
#include <map>
#include <string>

namespace qz {

// The first node named `name`, searching the start node and its following
// siblings before any child; then the subtrees, from the last sibling's back
// to the start node's own. Null when there is none. Allocates nothing.
xmlNode* findAnyNodeWithName(xmlNode* start, const std::string& name);
// The same from the document's first top-level node; null for a null document.
xmlNode* findAnyNodeWithName(xmlDoc* document, const std::string& name);

// The first direct child of `parent` named `name`, or null. Allocates nothing.
xmlNode* findImmediateChildWithName(xmlNode* parent, const std::string& name);
// Among the children of the document's first top-level node.
xmlNode* findImmediateChildWithName(xmlDoc* document, const std::string& name);

// The first match of findAnyNodeWithName and its later siblings of that name.
std::list<xmlNode*> findAllSiblingsWithName(xmlNode* start, const std::string& name);
std::list<xmlNode*> findAllSiblingsWithName(xmlDoc* document, const std::string& name);

// An element's attributes by local name; a later attribute of the same name
// wins. Empty for a null node and for nodes that are not elements.
std::map<std::string, std::string> getNodeAttributes(xmlNode* node);

// The attributes of the node that findAnyNodeWithName finds, or an empty map.
std::map<std::string, std::string> findAnyNodeAndGetAttribs(xmlNode* start, const std::string& name);
std::map<std::string, std::string> findAnyNodeAndGetAttribs(xmlDoc* document, const std::string& name);

}  // namespace qz

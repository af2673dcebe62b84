// The engine's own small XML reader and writer: sequence files, string tables, product descriptions
// and rule files are read into plain records of elements, attributes and text, and written back.
// The reader accepts a narrow dialect byte by byte; it decodes no entities and the writer escapes nothing.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// Capacities of a parsed document. Input beyond any of them is refused: the parse logs an error
// line and fails, it never cuts a document short silently.
constexpr int xml_max_roots = 1024;   // root elements per document
constexpr int xml_max_keys = 1024;    // attributes per element
constexpr int xml_max_childs = 1024;  // children per element
// Open ancestors of the element being read: elements nest at most 1,025 deep.
constexpr int xml_max_depth = 1024;
// Longest element name, attribute name, attribute value or text. A longer name or value fails the
// parse; a longer text is the one thing cut: it keeps its first xml_text_max bytes (with a warning)
// and the rest up to the next '<' is read as if it stood between elements.
constexpr int xml_text_max = 511999;

// One attribute.
struct xml_key_t {
    std::string name;
    std::string value;
};

// One element. A count of -1 means "absent" and 0 "present but empty"; which one an element gets
// tells how its start tag ended: `<a>` has no keys, `<a/>` and `<a x="1"/>` have neither text nor
// children, `<a x="1">` has keys and children (either may hold 0 entries). Users test that a count
// is greater than 0 before touching the container, and data_len >= 0 before using data.
// Records built by hand keep keys_count == keys.size() and childs_count == childs.size() (or -1);
// the writer, the sizes and the dump never walk past the container whatever the count says.
struct node_t {
    std::string name;            // as written, case kept
    std::string data;            // the bytes between the start tag's '>' and the next '<', verbatim
    int data_len = -1;           // data.size(), or -1 when the element has no text
    std::vector<xml_key_t> keys;  // in source order
    int keys_count = -1;
    std::vector<node_t> childs;  // child elements by value, in source order
    int childs_count = -1;
};

// One parsed document. The caller owns it; addresses of elements stay valid until xml_free_doc.
struct document_t {
    std::vector<node_t> nodes;  // the completed root elements in document order
    int nodes_count = 0;
};

// The parse entry points: 0 on success, -1 after logging why. Once the arguments are checked, any
// earlier content of doc is dropped.
// On failure doc still holds the root elements completed before the failing byte; callers release
// it like a successful one. A document whose input ends while an element is still open fails too,
// so a truncated file is never taken for a whole one; the open elements are not kept.
// The text is NUL-terminated; an empty text succeeds with no root elements.
int xml_parse(const char* data, document_t* doc);
int xml_parse(char* data, document_t* doc);
// size bytes at data, NUL bytes included: a NUL byte is not XML text and fails the parse.
int xml_parse_buffer(const char* data, size_t size, document_t* doc);
// Reads the file in blocks as it parses, so the whole text is never held in memory at once.
int xml_parse_file(const char* file_name, document_t* doc);

// The value of the first attribute whose name equals name ignoring ASCII case; null when there is
// none or an argument is null. The pointer lives as long as the element.
const char* xml_node_get_key(const node_t* node, const char* name);
// The value of the first attribute named exactly name; null when there is none or the node is null.
// For the vocabularies whose attribute names are case-sensitive.
const std::string* xml_node_find_key(const node_t* node, const char* name);

// Releases everything below doc and leaves it empty (nodes_count 0); -1 for a null doc.
int xml_free_doc(document_t* doc);
// Releases everything the element owns and leaves it with every part absent; -1 for a null node.
int xml_free_node(node_t* node);
// Empties every field and sets every count to 0; -1 for a null node.
int xml_set2zero_node(node_t* node);

// The number of bytes the writer produces for the element (or every root element), or -1 for a
// null argument, an element without a name, or a size beyond what an int holds.
int xml_get_node_size(const node_t* node);
int xml_get_size(const document_t* doc);

// The writer: `<name key="value">data` then the children, then `</name>` and a line feed, for every
// element; nothing is escaped or indented and empty elements are never written as `<a/>`.
// 0 on success, -1 for a null argument or a failed write. xml_write_to_handle leaves the stream open;
// xml_write creates or truncates the file and reports a write that did not reach it.
int xml_write_node_to_handle(FILE* stream, const node_t* node);
int xml_write_to_handle(FILE* stream, const document_t* doc);
int xml_write(const char* file_name, const document_t* doc);

// Write the tree to the debug log, one line per element, attribute and text; -1 for null.
int xml_dump(const document_t* doc);
int xml_node_dump(const node_t* node, int indent);

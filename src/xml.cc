#include "xml.h"

#include <climits>
#include <cstring>
#include <iterator>
#include <memory>

#include "file.h"
#include "log.h"

namespace {

// The reader's states, named after what it has just seen.
enum class state_t {
    VACUUM,          // between elements
    E_START,         // after '<'
    C_START,         // after "<!"
    C_CONT_1,        // after "<!-"
    C_BODY,          // comment text
    C_DASH_1,        // one '-' in a comment
    C_DASH_2,        // two '-' in a comment
    E_NAME,          // element name
    E_PROPS,         // inside a start tag, between attributes
    E_PROP_NAME,     // attribute name
    E_PROP_VALUE_1,  // after '='
    E_PROP_VALUE,    // inside the quotes
    E_FINISH,        // after the '/' of an empty-element tag
    E_END_1,         // end-tag name
    E_DATA,          // text after a start tag
    X_START,         // after "<?"
    X_M,             // after "<?x"
    X_L,             // after "<?xm"
    X_BODY,          // declaration body
    X_END,           // after the '?' of a declaration
};

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_name_char(unsigned char c) { return is_letter(c) || is_digit(c) || c == '_'; }
bool is_key_char(unsigned char c) { return is_name_char(c) || c == '-'; }

// An element whose end has not been read yet; its closed children wait in parse_state_t::pending
// from index first_child on, so that each element's children end up in a vector of exactly their
// number instead of one grown by doubling.
struct open_element_t {
    node_t node;
    size_t first_child;
};

struct parse_state_t {
    document_t* doc = nullptr;
    state_t state = state_t::VACUUM;
    std::vector<open_element_t> open;  // the current element is the last one
    std::vector<node_t> pending;       // closed children of the open elements
    std::vector<xml_key_t> keys;       // attributes of the start tag being read
    std::string key_name;              // name of the attribute whose value is being read
    std::string buffer;                // the name, value or text being read
    size_t offset = 0;                 // bytes consumed before the current block
    size_t garbage = 0;                // stray bytes between elements
    bool failed = false;
};

int open_element(parse_state_t& ps) {
    if (ps.open.empty()) {
        if (ps.doc->nodes_count >= xml_max_roots) {
            error("xml_parse: more than %d root elements", xml_max_roots);
            return -1;
        }
    } else {
        if (ps.open.size() > static_cast<size_t>(xml_max_depth)) {
            error("xml_parse: more than %d open ancestors of an element", xml_max_depth);
            return -1;
        }
        const node_t& parent = ps.open.back().node;
        if (parent.childs_count >= xml_max_childs) {
            error("xml_parse: element %s has more than %d children", parent.name.c_str(), xml_max_childs);
            return -1;
        }
    }
    open_element_t element;
    element.node.childs_count = 0;
    element.node.keys_count = 0;
    element.first_child = ps.pending.size();
    ps.open.push_back(std::move(element));
    ps.keys.clear();
    ps.buffer.clear();
    return 0;
}

// Ends the start tag of the current element with the attributes read so far.
void take_keys(parse_state_t& ps) {
    node_t& node = ps.open.back().node;
    node.keys.reserve(ps.keys.size());
    node.keys.assign(std::make_move_iterator(ps.keys.begin()), std::make_move_iterator(ps.keys.end()));
    node.keys_count = static_cast<int>(node.keys.size());
    ps.keys.clear();
}

void drop_keys(parse_state_t& ps) {
    node_t& node = ps.open.back().node;
    node.keys.clear();
    node.keys_count = -1;
    ps.keys.clear();
}

void take_data(parse_state_t& ps) {
    node_t& node = ps.open.back().node;
    node.data.assign(ps.buffer);
    node.data_len = static_cast<int>(node.data.size());
    ps.buffer.clear();
}

// Moves the current element into its parent's children, or into the document when it is a root.
void close_element(parse_state_t& ps) {
    open_element_t& top = ps.open.back();
    node_t node = std::move(top.node);
    if (node.childs_count >= 0) {
        const auto first = ps.pending.begin() + static_cast<std::ptrdiff_t>(top.first_child);
        node.childs.reserve(static_cast<size_t>(ps.pending.end() - first));
        node.childs.assign(std::make_move_iterator(first), std::make_move_iterator(ps.pending.end()));
        node.childs_count = static_cast<int>(node.childs.size());
        ps.pending.erase(first, ps.pending.end());
    }
    ps.open.pop_back();
    if (ps.open.empty()) {
        ps.doc->nodes.push_back(std::move(node));
        ps.doc->nodes_count += 1;
    } else {
        ps.pending.push_back(std::move(node));
        ps.open.back().node.childs_count += 1;
    }
}

// Appends the bytes of one name or value to the buffer, or fails when it would grow past the limit.
bool append_bounded(parse_state_t& ps, const char* bytes, size_t count) {
    if (count > xml_text_max - ps.buffer.size()) return false;
    ps.buffer.append(bytes, count);
    return true;
}

// What one state's reader tells the block loop: go on with the next byte, stop because the block
// is used up (the state carries on in the next block), or stop because the parse failed.
constexpr int read_next = 0;
constexpr int read_starved = 1;
constexpr int read_failed = -1;

int read_vacuum(parse_state_t& ps, unsigned char c, size_t& i) {
    if (c == '<') {
        ps.state = state_t::E_START;
    } else if (c == '/') {
        if (ps.open.empty()) {
            error("xml_parse: First element declaration was missed");
            return read_failed;
        }
        ps.state = state_t::E_END_1;
    } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        // Only the first is shown: a document of stray bytes would write a line per byte.
        if (ps.garbage++ == 0) print_log("xml_parse: garbage character %c in state VACUUM", c);
    }
    ++i;
    return read_next;
}

int read_tag_start(parse_state_t& ps, unsigned char c, size_t& i) {
    if (c == '!') {
        ps.state = state_t::C_START;
    } else if (c == '?') {
        ps.state = state_t::X_START;
    } else if (c == '/') {
        if (ps.open.empty()) {
            error("xml_parse: First element declaration was missed");
            return read_failed;
        }
        ps.state = state_t::E_END_1;
    } else if (is_letter(c)) {
        if (open_element(ps) != 0) return read_failed;
        ps.state = state_t::E_NAME;
        return read_next;  // the letter is the name's first byte
    } else {
        error("xml_parse: Wrong character %c in state E_START\n", c);
        return read_failed;
    }
    ++i;
    return read_next;
}

// The comment states but its text: "<!--" opens it, "-->" ends it.
int read_comment_mark(parse_state_t& ps, unsigned char c, size_t& i) {
    switch (ps.state) {
    case state_t::C_START:
        if (c != '-') {
            error("xml_parse: Wrong character %c in state C_START\n", c);
            return read_failed;
        }
        ps.state = state_t::C_CONT_1;
        break;
    case state_t::C_CONT_1:
        if (c != '-') {
            error("xml_parse: Wrong character %c in state C_CONT_1\n", c);
            return read_failed;
        }
        ps.state = state_t::C_BODY;
        break;
    case state_t::C_DASH_1:
        ps.state = c == '-' ? state_t::C_DASH_2 : state_t::C_BODY;
        break;
    default:
        // Any byte but '>' after two dashes, a third dash included, goes back to the comment
        // text: "--->" does not end a comment, "----->" does.
        ps.state = c == '>' ? state_t::VACUUM : state_t::C_BODY;
        break;
    }
    ++i;
    return read_next;
}

// Skips to the byte after the next `mark` and moves to `then`, or uses up the block.
int skip_past(parse_state_t& ps, const char* p, size_t n, size_t& i, char mark, state_t then) {
    const void* found = memchr(p + i, mark, n - i);
    if (!found) return read_starved;
    i = static_cast<size_t>(static_cast<const char*>(found) - p) + 1;
    ps.state = then;
    return read_next;
}

int read_element_name(parse_state_t& ps, const char* p, size_t n, size_t& i) {
    size_t end = i;
    while (end < n && is_name_char(static_cast<unsigned char>(p[end]))) ++end;
    if (!append_bounded(ps, p + i, end - i)) {
        error("xml_parse: element name is longer than %d bytes", xml_text_max);
        return read_failed;
    }
    i = end;
    if (i == n) return read_starved;
    const unsigned char t = static_cast<unsigned char>(p[i]);
    node_t& node = ps.open.back().node;
    if (t == ' ' || t == '\t') {
        node.name.assign(ps.buffer);
        ps.state = state_t::E_PROPS;
    } else if (t == '>') {
        node.name.assign(ps.buffer);
        drop_keys(ps);
        ps.buffer.clear();
        ps.state = state_t::E_DATA;
    } else if (t == '/') {
        node.name.assign(ps.buffer);
        drop_keys(ps);
        node.childs_count = -1;
        ps.state = state_t::E_FINISH;
    } else {
        error("xml_parse: Wrong character %c in state E_NAME\n", t);
        return read_failed;
    }
    ++i;
    return read_next;
}

int read_between_attributes(parse_state_t& ps, unsigned char c, size_t& i) {
    if (c == ' ' || c == '\t') {
        ++i;
    } else if (c == '>') {
        take_keys(ps);
        ps.buffer.clear();
        ps.state = state_t::E_DATA;
        ++i;
    } else if (c == '/') {
        take_keys(ps);
        ps.open.back().node.childs_count = -1;
        ps.state = state_t::E_FINISH;
        ++i;
    } else if (is_letter(c) || is_digit(c)) {
        ps.buffer.clear();
        ps.state = state_t::E_PROP_NAME;
    } else {
        // A stray byte between attributes is reported as if it stood in an attribute name.
        error("xml_parse: Wrong character %c in state E_PROP_NAME\n", c);
        return read_failed;
    }
    return read_next;
}

int read_attribute_name(parse_state_t& ps, const char* p, size_t n, size_t& i) {
    size_t end = i;
    while (end < n && is_key_char(static_cast<unsigned char>(p[end]))) ++end;
    if (!append_bounded(ps, p + i, end - i)) {
        error("xml_parse: attribute name is longer than %d bytes", xml_text_max);
        return read_failed;
    }
    i = end;
    if (i == n) return read_starved;
    const unsigned char t = static_cast<unsigned char>(p[i]);
    if (t != '=') {
        error("xml_parse: Wrong character %c in state E_PROP_NAME\n", t);
        return read_failed;
    }
    if (ps.keys.size() >= static_cast<size_t>(xml_max_keys)) {
        error("xml_parse: element %s has more than %d attributes", ps.open.back().node.name.c_str(),
              xml_max_keys);
        return read_failed;
    }
    ps.key_name.assign(ps.buffer);
    ps.state = state_t::E_PROP_VALUE_1;
    ++i;
    return read_next;
}

int read_value_quote(parse_state_t& ps, unsigned char c, size_t& i) {
    if (c != '"') {
        error("xml_parse: Wrong character %c in state E_PROP_VALUE_1\n", c);
        return read_failed;
    }
    ps.buffer.clear();
    ps.state = state_t::E_PROP_VALUE;
    ++i;
    return read_next;
}

int read_attribute_value(parse_state_t& ps, const char* p, size_t n, size_t& i) {
    const void* quote = memchr(p + i, '"', n - i);
    const size_t end = quote ? static_cast<size_t>(static_cast<const char*>(quote) - p) : n;
    if (!append_bounded(ps, p + i, end - i)) {
        error("xml_parse: value of attribute %s is longer than %d bytes", ps.key_name.c_str(), xml_text_max);
        return read_failed;
    }
    if (!quote) return read_starved;
    ps.keys.push_back(xml_key_t{std::move(ps.key_name), ps.buffer});
    ps.key_name.clear();
    ps.buffer.clear();
    ps.state = state_t::E_PROPS;
    i = end + 1;
    return read_next;
}

int read_empty_tag_end(parse_state_t& ps, unsigned char c, size_t& i) {
    if (c != '>') {
        error("xml_parse: Wrong character %c in state E_FINISH\n", c);
        return read_failed;
    }
    close_element(ps);
    ps.state = state_t::VACUUM;
    ++i;
    return read_next;
}

int read_end_tag(parse_state_t& ps, const char* p, size_t n, size_t& i) {
    // The end tag's name is neither kept nor compared: it closes whatever element is open.
    while (i < n && is_name_char(static_cast<unsigned char>(p[i]))) ++i;
    if (i == n) return read_starved;
    if (p[i] != '>') {
        error("xml_parse: Wrong character %c in state E_END_1\n", static_cast<unsigned char>(p[i]));
        return read_failed;
    }
    close_element(ps);
    ps.state = state_t::VACUUM;
    ++i;
    return read_next;
}

int read_text(parse_state_t& ps, const char* p, size_t n, size_t& i) {
    const void* lt = memchr(p + i, '<', n - i);
    const size_t end = lt ? static_cast<size_t>(static_cast<const char*>(lt) - p) : n;
    const size_t room = xml_text_max - ps.buffer.size();
    if (end - i > room) {
        // The text is cut here; the byte that did not fit is read again between elements.
        ps.buffer.append(p + i, room);
        i += room;
        take_data(ps);
        warn("xml_parse: text of element %s is cut to its first %d bytes", ps.open.back().node.name.c_str(),
             xml_text_max);
        ps.state = state_t::VACUUM;
        return read_next;
    }
    ps.buffer.append(p + i, end - i);
    i = end;
    if (!lt) return read_starved;
    if (!ps.buffer.empty()) take_data(ps);
    ps.state = state_t::VACUUM;  // the '<' is read again there
    return read_next;
}

// The "xml" after "<?": only a declaration is read, no other processing instruction.
int read_declaration_name(parse_state_t& ps, unsigned char c, size_t& i) {
    const unsigned char expected = ps.state == state_t::X_START ? 'x' : ps.state == state_t::X_M ? 'm' : 'l';
    if (c != expected) {
        error("xml_parse: incorrect xml version tag");
        return read_failed;
    }
    ps.state = ps.state == state_t::X_START ? state_t::X_M
               : ps.state == state_t::X_M   ? state_t::X_L
                                            : state_t::X_BODY;
    ++i;
    return read_next;
}

// Feeds one block of input; runs of bytes that only accumulate or are skipped are taken at once,
// with the same outcome as taking them one at a time. 0 to go on, -1 once the parse failed.
int parse_block(parse_state_t& ps, const char* p, size_t n) {
    size_t i = 0;
    int read = read_next;
    while (read == read_next && i < n) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        switch (ps.state) {
        case state_t::VACUUM: read = read_vacuum(ps, c, i); break;
        case state_t::E_START: read = read_tag_start(ps, c, i); break;
        case state_t::C_START:
        case state_t::C_CONT_1:
        case state_t::C_DASH_1:
        case state_t::C_DASH_2: read = read_comment_mark(ps, c, i); break;
        case state_t::C_BODY: read = skip_past(ps, p, n, i, '-', state_t::C_DASH_1); break;
        case state_t::E_NAME: read = read_element_name(ps, p, n, i); break;
        case state_t::E_PROPS: read = read_between_attributes(ps, c, i); break;
        case state_t::E_PROP_NAME: read = read_attribute_name(ps, p, n, i); break;
        case state_t::E_PROP_VALUE_1: read = read_value_quote(ps, c, i); break;
        case state_t::E_PROP_VALUE: read = read_attribute_value(ps, p, n, i); break;
        case state_t::E_FINISH: read = read_empty_tag_end(ps, c, i); break;
        case state_t::E_END_1: read = read_end_tag(ps, p, n, i); break;
        case state_t::E_DATA: read = read_text(ps, p, n, i); break;
        case state_t::X_START:
        case state_t::X_M:
        case state_t::X_L: read = read_declaration_name(ps, c, i); break;
        case state_t::X_BODY: read = skip_past(ps, p, n, i, '?', state_t::X_END); break;
        case state_t::X_END: read = skip_past(ps, p, n, i, '>', state_t::VACUUM); break;
        }
    }
    return read == read_failed ? -1 : 0;
}

// Feeds input that may hold NUL bytes: those are no XML text and end the parse with a failure.
int parse_feed(parse_state_t& ps, const char* p, size_t n) {
    if (ps.failed) return -1;
    const void* nul = memchr(p, '\0', n);
    const size_t usable = nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : n;
    if (parse_block(ps, p, usable) != 0) {
        ps.failed = true;
        return -1;
    }
    if (nul) {
        error("xml_parse: NUL byte in xml data at offset %zu", ps.offset + usable);
        ps.failed = true;
        return -1;
    }
    ps.offset += n;
    return 0;
}

int parse_finish(parse_state_t& ps) {
    if (ps.garbage > 1) {
        print_log("xml_parse: %llu garbage characters in state VACUUM in all",
                  static_cast<unsigned long long>(ps.garbage));
    }
    if (ps.failed) return -1;
    if (ps.state != state_t::VACUUM) {
        error("xml_parse: unexpected end of xml data");
        return -1;
    }
    // A truncated file can end between elements; taking what was closed so far as the whole
    // document would quietly lose the rest, so an element still open fails the parse.
    if (!ps.open.empty()) {
        error("xml_parse: unexpected end of xml data, element %s is not closed", ps.open.back().node.name.c_str());
        return -1;
    }
    return 0;
}

void parse_start(parse_state_t& ps, document_t* doc) {
    ps.doc = doc;
    doc->nodes.clear();
    doc->nodes_count = 0;
}

bool same_ascii_case(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (y == 0) return false;
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return b[i] == 0;
}

// How many entries a count lets the writer, the sizes and the dump walk: never past the container.
size_t walk_count(int count, size_t size) {
    if (count <= 0) return 0;
    return static_cast<size_t>(count) < size ? static_cast<size_t>(count) : size;
}

// The size of an element and its subtree; -1 (logged) for an element without a name.
long long node_size(const node_t& node) {
    if (node.name.empty()) {
        error("xml_get_node_size: name of the node is null");
        return -1;
    }
    long long size = 2 * static_cast<long long>(node.name.size()) + 6;
    const size_t keys = walk_count(node.keys_count, node.keys.size());
    for (size_t k = 0; k < keys; ++k)
        size += static_cast<long long>(node.keys[k].name.size() + node.keys[k].value.size()) + 4;
    if (node.data_len >= 0) size += static_cast<long long>(node.data.size());
    const size_t childs = walk_count(node.childs_count, node.childs.size());
    for (size_t c = 0; c < childs; ++c) {
        const long long child = node_size(node.childs[c]);
        if (child < 0) return -1;
        size += child;
    }
    return size;
}

bool put(FILE* stream, const std::string& text) {
    return fwrite(text.data(), 1, text.size(), stream) == text.size();
}

bool put(FILE* stream, const char* text) {
    const size_t size = strlen(text);
    return fwrite(text, 1, size, stream) == size;
}

// False as soon as a write falls short.
bool write_node(FILE* stream, const node_t& node) {
    if (!put(stream, "<") || !put(stream, node.name)) return false;
    const size_t keys = walk_count(node.keys_count, node.keys.size());
    for (size_t k = 0; k < keys; ++k) {
        if (!put(stream, " ") || !put(stream, node.keys[k].name) || !put(stream, "=\"") ||
            !put(stream, node.keys[k].value) || !put(stream, "\""))
            return false;
    }
    if (!put(stream, ">")) return false;
    if (node.data_len >= 0 && !put(stream, node.data)) return false;
    const size_t childs = walk_count(node.childs_count, node.childs.size());
    for (size_t c = 0; c < childs; ++c) {
        if (!write_node(stream, node.childs[c])) return false;
    }
    return put(stream, "</") && put(stream, node.name) && put(stream, ">\n");
}

}  // namespace

int xml_parse(const char* data, document_t* doc) {
    if (!data) {
        error("xml_parse: XML data is NULL");
        return -1;
    }
    if (!doc) {
        error("xml_parse: Document is NULL");
        return -1;
    }
    parse_state_t ps;
    parse_start(ps, doc);
    parse_feed(ps, data, strlen(data));
    return parse_finish(ps);
}

int xml_parse(char* data, document_t* doc) { return xml_parse(static_cast<const char*>(data), doc); }

int xml_parse_buffer(const char* data, size_t size, document_t* doc) {
    if (!data) {
        error("xml_parse_buffer: XML data is NULL");
        return -1;
    }
    if (!doc) {
        error("xml_parse_buffer: Document is NULL");
        return -1;
    }
    parse_state_t ps;
    parse_start(ps, doc);
    parse_feed(ps, data, size);
    return parse_finish(ps);
}

int xml_parse_file(const char* file_name, document_t* doc) {
    if (!file_name) {
        error("xml_parse_file: file name is null");
        return -1;
    }
    if (!doc) {
        error("xml_parse_file: Document is NULL");
        return -1;
    }
    parse_state_t ps;
    parse_start(ps, doc);
    file_ptr file(fopen(file_name, "rb"));
    if (!file) {
        error("xml_parse_file: can not open %s file", file_name);
        return -1;
    }
    std::vector<char> block(64 * 1024);
    for (;;) {
        const size_t got = fread(block.data(), 1, block.size(), file.get());
        if (got > 0 && parse_feed(ps, block.data(), got) != 0) return -1;
        if (got < block.size()) break;  // a short block is the end of the file or a read error
    }
    if (ferror(file.get())) {
        error("xml_parse_file: can not read %s file", file_name);
        return -1;
    }
    return parse_finish(ps);
}

const std::string* xml_node_find_key(const node_t* node, const char* name) {
    if (!node || !name) return nullptr;
    const size_t keys = walk_count(node->keys_count, node->keys.size());
    for (size_t k = 0; k < keys; ++k) {
        if (node->keys[k].name == name) return &node->keys[k].value;
    }
    return nullptr;
}

const char* xml_node_get_key(const node_t* node, const char* name) {
    if (!node) {
        error("xml_node_get_key: NODE is NULL");
        return nullptr;
    }
    if (!name) {
        error("xml_node_get_key: name of the key is NULL");
        return nullptr;
    }
    const size_t keys = walk_count(node->keys_count, node->keys.size());
    for (size_t k = 0; k < keys; ++k) {
        if (same_ascii_case(node->keys[k].name, name)) return node->keys[k].value.c_str();
    }
    return nullptr;
}

int xml_free_doc(document_t* doc) {
    if (!doc) {
        print_log("xml_free_doc: Document is NULL");
        return -1;
    }
    print_log("xml_free_doc: started");
    std::vector<node_t>().swap(doc->nodes);
    doc->nodes_count = 0;
    print_log("xml_free_doc: finished");
    return 0;
}

int xml_free_node(node_t* node) {
    if (!node) return -1;
    std::string().swap(node->name);
    std::string().swap(node->data);
    node->data_len = -1;
    std::vector<xml_key_t>().swap(node->keys);
    node->keys_count = -1;
    std::vector<node_t>().swap(node->childs);
    node->childs_count = -1;
    return 0;
}

int xml_set2zero_node(node_t* node) {
    if (!node) return -1;
    xml_free_node(node);
    node->data_len = 0;
    node->keys_count = 0;
    node->childs_count = 0;
    return 0;
}

int xml_get_node_size(const node_t* node) {
    if (!node) {
        error("xml_get_node_size: NODE is NULL");
        return -1;
    }
    const long long size = node_size(*node);
    if (size < 0) return -1;
    if (size > INT_MAX) {
        error("xml_get_node_size: size of node %s is beyond %d bytes", node->name.c_str(), INT_MAX);
        return -1;
    }
    return static_cast<int>(size);
}

int xml_get_size(const document_t* doc) {
    if (!doc) {
        error("xml_get_size: xml document is null");
        return -1;
    }
    long long total = 0;
    const size_t roots = walk_count(doc->nodes_count, doc->nodes.size());
    for (size_t r = 0; r < roots; ++r) {
        const int size = xml_get_node_size(&doc->nodes[r]);
        if (size < 0) return -1;
        total += size;
        if (total > INT_MAX) {
            error("xml_get_size: size of the xml document is beyond %d bytes", INT_MAX);
            return -1;
        }
    }
    return static_cast<int>(total);
}

int xml_write_node_to_handle(FILE* stream, const node_t* node) {
    if (!stream) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!node) {
        error("xml_write_node_to_handle: NODE is NULL");
        return -1;
    }
    if (!write_node(stream, *node)) {
        error("xml_write_node_to_handle: write failed");
        return -1;
    }
    return 0;
}

int xml_write_to_handle(FILE* stream, const document_t* doc) {
    if (!stream) {
        error("xml_write_to_handle: file handle is null");
        return -1;
    }
    if (!doc) {
        error("xml_write_to_handle: xml document is null");
        return -1;
    }
    const size_t roots = walk_count(doc->nodes_count, doc->nodes.size());
    for (size_t r = 0; r < roots; ++r) {
        if (!write_node(stream, doc->nodes[r])) {
            error("xml_write_to_handle: write failed");
            return -1;
        }
    }
    return 0;
}

int xml_write(const char* file_name, const document_t* doc) {
    if (!file_name) {
        error("xml_write: file name is null");
        return -1;
    }
    if (!doc) {
        error("xml_write: xml document is null");
        return -1;
    }
    FILE* file = fopen(file_name, "wb");
    if (!file) {
        error("xml_write: can not create %s file", file_name);
        return -1;
    }
    bool written = true;
    const size_t roots = walk_count(doc->nodes_count, doc->nodes.size());
    for (size_t r = 0; r < roots && written; ++r) written = write_node(file, doc->nodes[r]);
    // Buffered output reaches the disk only here: a full disk shows up as a failing close.
    if (fclose(file) != 0) written = false;
    if (!written) {
        error("xml_write: can not write %s file", file_name);
        return -1;
    }
    return 0;
}

int xml_dump(const document_t* doc) {
    if (!doc) {
        error("xml_dump: Document is NULL");
        return -1;
    }
    print_log("xml_dump: started");
    print_log("xml_dump: number of the root nodes %d", doc->nodes_count);
    const size_t roots = walk_count(doc->nodes_count, doc->nodes.size());
    for (size_t r = 0; r < roots; ++r) xml_node_dump(&doc->nodes[r], 0);
    print_log("xml_dump: finished");
    return 0;
}

int xml_node_dump(const node_t* node, int indent) {
    if (!node) {
        error("xml_node_dump: NODE is NULL");
        return -1;
    }
    print_log("xml_node_dump: started");
    const std::string prefix(indent > 0 ? static_cast<size_t>(indent) : 0, ' ');
    print_log("xml_node_dump: %sNODE: %s", prefix.c_str(), node->name.c_str());
    const size_t keys = walk_count(node->keys_count, node->keys.size());
    for (size_t k = 0; k < keys; ++k)
        print_log("xml_node_dump: %sKEY: %s=%s", prefix.c_str(), node->keys[k].name.c_str(),
                  node->keys[k].value.c_str());
    if (node->data_len >= 0) print_log("xml_node_dump: %sDATA: %s", prefix.c_str(), node->data.c_str());
    const size_t childs = walk_count(node->childs_count, node->childs.size());
    for (size_t c = 0; c < childs; ++c) xml_node_dump(&node->childs[c], indent + 2);
    print_log("xml_node_dump: finished");
    return 0;
}

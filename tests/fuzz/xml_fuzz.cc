// Reads arbitrary bytes, writes back what was read and reads that again. The second reading must
// succeed and give the same tree, the writer's output must match the computed size, and writing
// the second tree must give the same bytes. An absent and an empty list of attributes or children
// count alike: the writer never writes the empty-element form, so `<a/>` comes back as `<a></a>`.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xml.h"

namespace {

void check(bool condition) {
    if (!condition) abort();
}

// Counts agree with their containers and no capacity is exceeded.
void check_node(const node_t& node, int depth) {
    check(!node.name.empty());
    check(node.data_len == -1 ? node.data.empty() : node.data_len == static_cast<int>(node.data.size()));
    check(node.data_len != 0 && node.data_len <= xml_text_max);
    check(node.keys_count == -1 ? node.keys.empty() : node.keys_count == static_cast<int>(node.keys.size()));
    check(node.childs_count == -1 ? node.childs.empty()
                                  : node.childs_count == static_cast<int>(node.childs.size()));
    check(node.keys.size() <= static_cast<size_t>(xml_max_keys));
    check(node.childs.size() <= static_cast<size_t>(xml_max_childs));
    check(depth <= xml_max_depth);
    for (const node_t& child : node.childs) check_node(child, depth + 1);
}

bool same_node(const node_t& a, const node_t& b) {
    if (a.name != b.name || a.data_len != b.data_len || a.data != b.data) return false;
    if (a.keys.size() != b.keys.size() || a.childs.size() != b.childs.size()) return false;
    for (size_t k = 0; k < a.keys.size(); ++k) {
        if (a.keys[k].name != b.keys[k].name || a.keys[k].value != b.keys[k].value) return false;
    }
    for (size_t c = 0; c < a.childs.size(); ++c) {
        if (!same_node(a.childs[c], b.childs[c])) return false;
    }
    return true;
}

bool same_doc(const document_t& a, const document_t& b) {
    if (a.nodes_count != b.nodes_count || a.nodes.size() != b.nodes.size()) return false;
    for (size_t r = 0; r < a.nodes.size(); ++r) {
        if (!same_node(a.nodes[r], b.nodes[r])) return false;
    }
    return true;
}

std::string write_doc(const document_t& doc) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&bytes, &size);
    check(stream != nullptr);
    check(xml_write_to_handle(stream, &doc) == 0);
    fclose(stream);
    std::string text(bytes, size);
    free(bytes);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An empty input may come with a null pointer (an empty corpus file does), which the buffer
    // entry point refuses by contract and memchr must never see: it stands for "" here.
    const char* bytes = size == 0 ? "" : reinterpret_cast<const char*>(data);
    document_t doc;
    const int status = xml_parse_buffer(bytes, size, &doc);
    check(status == 0 || status == -1);
    check(doc.nodes_count == static_cast<int>(doc.nodes.size()));
    check(doc.nodes_count <= xml_max_roots);
    for (const node_t& root : doc.nodes) check_node(root, 0);

    // Without NUL bytes the text entry point reads exactly what the buffer one does.
    if (!memchr(bytes, '\0', size)) {
        const std::string text(bytes, size);
        document_t same;
        check(xml_parse(text.c_str(), &same) == status);
        check(same_doc(doc, same));
    }

    // Even after a failure the completed root elements are whole and write back cleanly.
    const std::string written = write_doc(doc);
    check(xml_get_size(&doc) == static_cast<int>(written.size()));
    document_t again;
    check(xml_parse_buffer(written.data(), written.size(), &again) == 0);
    check(same_doc(doc, again));
    check(write_doc(again) == written);
    xml_free_doc(&doc);
    check(doc.nodes.empty() && doc.nodes_count == 0);
    return 0;
}

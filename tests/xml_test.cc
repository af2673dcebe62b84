#include "xml.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

int parse(const std::string& text, document_t* doc) { return xml_parse_buffer(text.data(), text.size(), doc); }

// A compact picture of a tree: the name; "[k=v,...]" when the attributes are present (so "[]" is
// present and empty); 'text' when there is text; "(child,...)" when the children are present.
std::string describe(const node_t& node) {
    std::string out = node.name;
    if (node.keys_count >= 0) {
        out += "[";
        for (size_t k = 0; k < node.keys.size(); ++k) {
            if (k) out += ",";
            out += node.keys[k].name + "=" + node.keys[k].value;
        }
        out += "]";
    }
    if (node.data_len >= 0) out += "'" + node.data + "'";
    if (node.childs_count >= 0) {
        out += "(";
        for (size_t c = 0; c < node.childs.size(); ++c) {
            if (c) out += ",";
            out += describe(node.childs[c]);
        }
        out += ")";
    }
    return out;
}

std::string describe(const document_t& doc) {
    std::string out;
    for (size_t r = 0; r < doc.nodes.size(); ++r) {
        if (r) out += " ";
        out += describe(doc.nodes[r]);
    }
    return out;
}

// Counts always agree with what they count, whatever the parse made of the input.
void expect_consistent(const node_t& node) {
    EXPECT_EQ(node.data_len < 0 ? 0 : node.data_len, static_cast<int>(node.data.size()));
    EXPECT_EQ(node.keys_count < 0 ? 0 : node.keys_count, static_cast<int>(node.keys.size()));
    EXPECT_EQ(node.childs_count < 0 ? 0 : node.childs_count, static_cast<int>(node.childs.size()));
    for (const node_t& child : node.childs) expect_consistent(child);
}

// The messages of the log, without the time in front: "ERROR: : xml_parse: ..." or ": xml_dump: ...".
std::vector<std::string> log_messages(const LogCapture& log) {
    std::vector<std::string> lines;
    std::istringstream in(log.text());
    std::string line;
    while (std::getline(in, line)) {
        const size_t dash = line.find(" - ");
        lines.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
    }
    return lines;
}

size_t count_lines(const LogCapture& log, const std::string& message) {
    size_t count = 0;
    for (const std::string& line : log_messages(log)) count += line == message ? 1 : 0;
    return count;
}

std::string write_to_string(const document_t& doc) {
    TempDir dir;
    const std::string path = dir.file("out.xml");
    EXPECT_EQ(0, xml_write(path.c_str(), &doc));
    return read_file(path);
}

struct reader_row {
    const char* input;
    int status;
    const char* tree;
    const char* log_line;  // "" when the log must hold no error
};

void run_rows(const std::vector<reader_row>& rows) {
    for (const reader_row& r : rows) {
        SCOPED_TRACE(r.input);
        LogCapture log;
        document_t doc;
        EXPECT_EQ(r.status, parse(r.input, &doc));
        EXPECT_EQ(r.tree, describe(doc));
        EXPECT_EQ(static_cast<int>(doc.nodes.size()), doc.nodes_count);
        for (const node_t& root : doc.nodes) expect_consistent(root);
        if (*r.log_line) {
            EXPECT_TRUE(log.has_line(r.log_line)) << log.text();
        } else {
            EXPECT_EQ(std::string::npos, log.text().find("ERROR")) << log.text();
        }
        EXPECT_EQ(0, xml_free_doc(&doc));
    }
}

}  // namespace

TEST(XmlReaderTest, BetweenElementsSkipsWhitespaceAndDropsGarbage) {
    run_rows({
        {"", 0, "", ""},
        {" \t\r\n<a/>\r\n", 0, "a", ""},
        {"<a/><b/>\n<c/>", 0, "a b c", ""},
        {"x<a/>", 0, "a", ": xml_parse: garbage character x in state VACUUM"},
        {"<a>hello<b/>world</a>", 0, "a'hello'(b)", ": xml_parse: garbage character w in state VACUUM"},
        {"<a><b/>/>", 0, "a(b)", ""},
        {"<a><b/>/b></a>", -1, "a(b)", "ERROR: : xml_parse: First element declaration was missed"},
        {"/a>", -1, "", "ERROR: : xml_parse: First element declaration was missed"},
    });
}

TEST(XmlReaderTest, GarbageLogsItsFirstByteAndACount) {
    LogCapture log;
    document_t doc;
    EXPECT_EQ(0, parse("<a>hello<b/>world</a>", &doc));
    EXPECT_EQ(1u, count_lines(log, ": xml_parse: garbage character w in state VACUUM"));
    EXPECT_EQ(0u, count_lines(log, ": xml_parse: garbage character o in state VACUUM"));
    EXPECT_EQ(0u, count_lines(log, ": xml_parse: garbage character h in state VACUUM"));
    EXPECT_EQ(1u, count_lines(log, ": xml_parse: 5 garbage characters in state VACUUM in all"));
    // Megabytes of stray bytes write two lines, not one per byte.
    const size_t before = log.text().size();
    EXPECT_EQ(0, parse("<a><b/>" + std::string(3u << 20, '#') + "</a>", &doc));
    EXPECT_LT(log.text().size() - before, 400u);
    EXPECT_EQ(1u, count_lines(log, ": xml_parse: 3145728 garbage characters in state VACUUM in all"));
}

TEST(XmlReaderTest, AfterLessThan) {
    run_rows({
        {"<a></a>", 0, "a()", ""},
        {"<!-- c --><a/>", 0, "a", ""},
        {"<?xml version=\"1.0\"?><a/>", 0, "a", ""},
        {"</a>", -1, "", "ERROR: : xml_parse: First element declaration was missed"},
        {"<a/></a>", -1, "a", "ERROR: : xml_parse: First element declaration was missed"},
        {"<1a/>", -1, "", "ERROR: : xml_parse: Wrong character 1 in state E_START"},
        {"< a/>", -1, "", "ERROR: : xml_parse: Wrong character   in state E_START"},
        {"<_a/>", -1, "", "ERROR: : xml_parse: Wrong character _ in state E_START"},
    });
}

TEST(XmlReaderTest, WrongCharacterMessagesKeepTheirTrailingLineFeed) {
    LogCapture log;
    document_t doc;
    EXPECT_EQ(-1, parse("<1", &doc));
    EXPECT_NE(std::string::npos, log.text().find("xml_parse: Wrong character 1 in state E_START\n\n"));
}

TEST(XmlReaderTest, Comments) {
    run_rows({
        {"<!-- a -- b --><a/>", 0, "a", ""},
        {"<!----><a/>", 0, "a", ""},
        {"<!-- x -----><a/>", 0, "a", ""},
        {"<a><!-- c -->text</a>", 0, "a()", ": xml_parse: garbage character t in state VACUUM"},
        {"<!-- a ---><a/>", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<!-- a ----><a/>", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<!--><a/>", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<!-- open", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<!DOCTYPE x><a/>", -1, "", "ERROR: : xml_parse: Wrong character D in state C_START"},
        {"<![CDATA[x]]>", -1, "", "ERROR: : xml_parse: Wrong character [ in state C_START"},
        {"<!-x-->", -1, "", "ERROR: : xml_parse: Wrong character x in state C_CONT_1"},
    });
}

TEST(XmlReaderTest, ElementNames) {
    run_rows({
        {"<Ab_9/>", 0, "Ab_9", ""},
        {"<a>", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<a", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<a-b/>", -1, "", "ERROR: : xml_parse: Wrong character - in state E_NAME"},
        {"<a.b/>", -1, "", "ERROR: : xml_parse: Wrong character . in state E_NAME"},
        {"<a:b/>", -1, "", "ERROR: : xml_parse: Wrong character : in state E_NAME"},
    });
}

// "[...]" shows present attributes, "'...'" present text and "(...)" present children.
TEST(XmlReaderTest, HowTheStartTagEndsDecidesWhatIsAbsent) {
    run_rows({
        {"<a/>", 0, "a", ""}, {"<a></a>", 0, "a()", ""}, {"<a x=\"1\"></a>", 0, "a[x=1]()", ""},
        {"<a x=\"1\"/>", 0, "a[x=1]", ""}, {"<a />", 0, "a[]", ""}, {"<a >t</a>", 0, "a[]'t'()", ""},
        {"<a>t<b/></a>", 0, "a't'(b)", ""},
    });
}

TEST(XmlReaderTest, LineBreakInsideAStartTagFails) {
    for (const char* input : {"<a\n x=\"1\"/>", "<a x=\"1\"\n y=\"2\"/>"}) {
        SCOPED_TRACE(input);
        LogCapture log;
        document_t doc;
        EXPECT_EQ(-1, parse(input, &doc));
        const std::string state = input[2] == '\n' ? "E_NAME" : "E_PROP_NAME";
        // The offending line feed is printed as it is, so the message spans two log lines.
        EXPECT_NE(std::string::npos, log.text().find("xml_parse: Wrong character \n in state " + state + "\n"));
    }
}

TEST(XmlReaderTest, Attributes) {
    run_rows({
        {"<a  \t x=\"1\"\ty=\"2\"/>", 0, "a[x=1,y=2]", ""},
        {"<a x=\"1\"y=\"2\"></a>", 0, "a[x=1,y=2]()", ""},
        {"<a 9k=\"v\" x-y_z=\"w\"/>", 0, "a[9k=v,x-y_z=w]", ""},
        {"<a x=\"\"/>", 0, "a[x=]", ""},
        {"<a x=\"1 < 2 & 3\"/>", 0, "a[x=1 < 2 & 3]", ""},
        {"<a x=\"line\nbreak/>\"/>", 0, "a[x=line\nbreak/>]", ""},
        {"<a x=\"1\" x=\"2\"/>", 0, "a[x=1,x=2]", ""},
        {"<a -x=\"1\"/>", -1, "", "ERROR: : xml_parse: Wrong character - in state E_PROP_NAME"},
        {"<a x=\"1\" \"/>", -1, "", "ERROR: : xml_parse: Wrong character \" in state E_PROP_NAME"},
        {"<a x = \"1\"/>", -1, "", "ERROR: : xml_parse: Wrong character   in state E_PROP_NAME"},
        {"<a x:y=\"1\"/>", -1, "", "ERROR: : xml_parse: Wrong character : in state E_PROP_NAME"},
        {"<a x>", -1, "", "ERROR: : xml_parse: Wrong character > in state E_PROP_NAME"},
        {"<a x='1'/>", -1, "", "ERROR: : xml_parse: Wrong character ' in state E_PROP_VALUE_1"},
        {"<a x=1/>", -1, "", "ERROR: : xml_parse: Wrong character 1 in state E_PROP_VALUE_1"},
        {"<a x=\"1", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<a x=\"1\"", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
    });
}

TEST(XmlReaderTest, EmptyElementAndEndTags) {
    run_rows({
        {"<a></b>", 0, "a()", ""},
        {"<a><b></></>", 0, "a(b())", ""},
        {"<a><b>x</b2_Z></a>", 0, "a(b'x'())", ""},
        {"<a/ >", -1, "", "ERROR: : xml_parse: Wrong character   in state E_FINISH"},
        {"<a x=\"1\"/x>", -1, "", "ERROR: : xml_parse: Wrong character x in state E_FINISH"},
        {"<a/", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<a></a >", -1, "", "ERROR: : xml_parse: Wrong character   in state E_END_1"},
        {"<a></a-b>", -1, "", "ERROR: : xml_parse: Wrong character - in state E_END_1"},
        {"<a></a", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
    });
}

TEST(XmlReaderTest, TextIsKeptVerbatimUpToTheNextLessThan) {
    run_rows({
        {"<a>\n  <b/>\n</a>", 0, "a'\n  '(b)", ""},
        {"<a>&amp; x/y > z\r\n</a>", 0, "a'&amp; x/y > z\r\n'()", ""},
        {"<a><b/></a>", 0, "a(b)", ""},
        {"<a>text", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
    });
    document_t doc;
    ASSERT_EQ(0, parse("<a>\n  <b/>\n</a>", &doc));
    EXPECT_EQ(3, doc.nodes[0].data_len);
}

TEST(XmlReaderTest, Declarations) {
    run_rows({
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a/>", 0, "a", ""},
        {"<?xml a>b?c><a/>", 0, "a", ""},
        {"<a><?xml?>text</a>", 0, "a()", ": xml_parse: garbage character t in state VACUUM"},
        {"<?foo?><a/>", -1, "", "ERROR: : xml_parse: incorrect xml version tag"},
        {"<?XML?><a/>", -1, "", "ERROR: : xml_parse: incorrect xml version tag"},
        {"<?xm?>", -1, "", "ERROR: : xml_parse: incorrect xml version tag"},
        {"<?xml version=\"1.0\"", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<?xml ?", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
    });
}

TEST(XmlReaderTest, InputEndingWithAnElementOpenFails) {
    run_rows({
        {"<x/><a><b/>", -1, "x", "ERROR: : xml_parse: unexpected end of xml data, element a is not closed"},
        {"<a><b x=\"1\">\n", -1, "", "ERROR: : xml_parse: unexpected end of xml data"},
        {"<a><b></b>\n", -1, "", "ERROR: : xml_parse: unexpected end of xml data, element a is not closed"},
    });
}

TEST(XmlReaderTest, FailureKeepsTheRootsCompletedBeforeIt) {
    LogCapture log;
    document_t doc;
    EXPECT_EQ(-1, parse("<a x=\"1\"><b/></a><c>t</c><d><e/><1", &doc));
    EXPECT_EQ("a[x=1](b) c't'()", describe(doc));
    EXPECT_EQ(2, doc.nodes_count);
    EXPECT_EQ(0, xml_free_doc(&doc));
    EXPECT_EQ(0, doc.nodes_count);
    EXPECT_TRUE(doc.nodes.empty());
}

TEST(XmlReaderTest, ParsingAgainReplacesTheDocument) {
    document_t doc;
    ASSERT_EQ(0, parse("<a/><b/>", &doc));
    ASSERT_EQ(0, parse("<c/>", &doc));
    EXPECT_EQ("c", describe(doc));
    EXPECT_EQ(1, doc.nodes_count);
}

TEST(XmlReaderTest, NullArguments) {
    LogCapture log;
    document_t doc;
    char text[] = "<a/>";
    EXPECT_EQ(-1, xml_parse(static_cast<const char*>(nullptr), &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: XML data is NULL"));
    EXPECT_EQ(-1, xml_parse(text, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: Document is NULL"));
    EXPECT_EQ(-1, xml_parse_buffer(nullptr, 0, &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse_buffer: XML data is NULL"));
    EXPECT_EQ(-1, xml_parse_buffer(text, 4, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse_buffer: Document is NULL"));
    EXPECT_EQ(-1, xml_parse_file(nullptr, &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse_file: file name is null"));
    EXPECT_EQ(-1, xml_parse_file("/nonexistent", nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse_file: Document is NULL"));
    EXPECT_EQ(0, xml_parse(text, &doc));
    EXPECT_EQ("a", describe(doc));
    EXPECT_STREQ("<a/>", text);
}

TEST(XmlReaderTest, NulBytesFailTheBufferParseAndEndTheText) {
    LogCapture log;
    document_t doc;
    const std::string inside_text("<a>x\0y</a>", 10);
    EXPECT_EQ(-1, parse(inside_text, &doc));
    EXPECT_EQ("", describe(doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: NUL byte in xml data at offset 4"));

    const std::string after_root("<a/>\0<b/>", 9);
    EXPECT_EQ(-1, parse(after_root, &doc));
    EXPECT_EQ("a", describe(doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: NUL byte in xml data at offset 4"));

    const std::string in_value("<a x=\"\0\"/>", 10);
    EXPECT_EQ(-1, parse(in_value, &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: NUL byte in xml data at offset 6"));

    // A NUL-terminated text simply ends at its NUL.
    EXPECT_EQ(0, xml_parse(after_root.c_str(), &doc));
    EXPECT_EQ("a", describe(doc));
}

TEST(XmlReaderTest, BytesAboveAsciiAreCopiedButNeverNameCharacters) {
    run_rows({
        {"<a x=\"\xc3\xa9\">\xff\x80</a>", 0, "a[x=\xc3\xa9]'\xff\x80'()", ""},
        {"<a\xc3\xa9/>", -1, "", "ERROR: : xml_parse: Wrong character \xc3 in state E_NAME"},
        {"<\xc3\xa9/>", -1, "", "ERROR: : xml_parse: Wrong character \xc3 in state E_START"},
    });
}

TEST(XmlReaderTest, FileIsReadInBlocksWithTheSameResultAsTheBuffer) {
    // Each construct of this text is placed across the reader's 64 KB block boundary in turn.
    const std::string body =
        "<?xml version=\"1.0\"?><!-- c -- d --><r k=\"v a\" z-9=\"\">text &amp;\n<c/><!-- x -----><d>t</d>"
        "</long_end_name>junk\n<s x=\"1\"/><l>" + std::string(300, 'y') + "</l>";
    TempDir dir;
    document_t expected;
    ASSERT_EQ(0, parse(body, &expected));
    for (size_t shift = 0; shift <= body.size(); ++shift) {
        SCOPED_TRACE(shift);
        const std::string text = std::string(64 * 1024 - shift, ' ') + body;
        const std::string path = dir.file("in.xml");
        write_file_text(path, text);
        document_t doc;
        ASSERT_EQ(0, xml_parse_file(path.c_str(), &doc));
        ASSERT_EQ(describe(expected), describe(doc));
    }
}

TEST(XmlReaderTest, FileFailures) {
    TempDir dir;
    LogCapture log;
    document_t doc;
    const std::string missing = dir.file("missing.xml");
    EXPECT_EQ(-1, xml_parse_file(missing.c_str(), &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse_file: can not open " + missing + " file"));
    EXPECT_EQ(-1, xml_parse_file(dir.path().c_str(), &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse_file: can not read " + dir.path() + " file"));
    const std::string truncated = dir.file("truncated.xml");
    write_file_text(truncated, "<a><b/>");
    EXPECT_EQ(-1, xml_parse_file(truncated.c_str(), &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: unexpected end of xml data, element a is not closed"));
    const std::string with_nul = dir.file("nul.xml");
    write_file_text(with_nul, std::string(70000, ' ') + std::string("<a/>\0", 5));
    EXPECT_EQ(-1, xml_parse_file(with_nul.c_str(), &doc));
    EXPECT_EQ("a", describe(doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: NUL byte in xml data at offset 70004"));
}

// Capacities: each one is accepted up to its limit and refused one past it, with the roots read so
// far kept.
TEST(XmlLimitsTest, NestingUpTo1025ElementsDeep) {
    const auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "<e>";
        for (int i = 0; i < depth; ++i) text += "</e>";
        return text;
    };
    LogCapture log;
    document_t doc;
    ASSERT_EQ(0, parse(nested(xml_max_depth + 1), &doc));
    int depth = 0;
    for (const node_t* n = &doc.nodes[0]; n; n = n->childs_count > 0 ? &n->childs[0] : nullptr) ++depth;
    EXPECT_EQ(1025, depth);
    EXPECT_EQ(-1, parse(nested(xml_max_depth + 2), &doc));
    EXPECT_EQ(0, doc.nodes_count);
    EXPECT_TRUE(log.has_line("ERROR: : xml_parse: more than 1024 open ancestors of an element"));
    EXPECT_EQ(-1, parse(nested(100000), &doc));
}

TEST(XmlLimitsTest, AtMost1024ChildrenAttributesAndRoots) {
    const auto repeat = [](const std::string& piece, int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += piece;
        return text;
    };
    const struct {
        const char* what;
        std::string at_limit, past_limit;
        const char* message;
    } rows[] = {
        {"children", "<r>" + repeat("<c/>", 1024) + "</r>", "<r>" + repeat("<c/>", 1025) + "</r>",
         "ERROR: : xml_parse: element r has more than 1024 children"},
        {"attributes", "<r" + repeat(" k=\"v\"", 1024) + "/>", "<r" + repeat(" k=\"v\"", 1025) + "/>",
         "ERROR: : xml_parse: element r has more than 1024 attributes"},
        {"roots", repeat("<r/>", 1024), repeat("<r/>", 1025), "ERROR: : xml_parse: more than 1024 root elements"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        document_t doc;
        EXPECT_EQ(0, parse(r.at_limit, &doc));
        EXPECT_EQ(std::string::npos, log.text().find("ERROR"));
        EXPECT_EQ(-1, parse(r.past_limit, &doc));
        EXPECT_TRUE(log.has_line(r.message)) << log.text();
    }
    document_t doc;
    EXPECT_EQ(-1, parse(repeat("<r/>", 1025), &doc));
    EXPECT_EQ(1024, doc.nodes_count);
    EXPECT_EQ(0, parse("<r>" + repeat("<c/>", 1024) + "</r>", &doc));
    EXPECT_EQ(1024, doc.nodes[0].childs_count);
}

TEST(XmlLimitsTest, NamesAndValuesLongerThan511999BytesFail) {
    const std::string at_limit(xml_text_max, 'n');
    const std::string past_limit(xml_text_max + 1, 'n');
    const struct {
        const char* what;
        std::string ok, too_long;
        const char* message;
    } rows[] = {
        {"element name", "<" + at_limit + "/>", "<" + past_limit + "/>",
         "ERROR: : xml_parse: element name is longer than 511999 bytes"},
        {"attribute name", "<a " + at_limit + "=\"1\"/>", "<a " + past_limit + "=\"1\"/>",
         "ERROR: : xml_parse: attribute name is longer than 511999 bytes"},
        {"attribute value", "<a x=\"" + at_limit + "\"/>", "<a x=\"" + past_limit + "\"/>",
         "ERROR: : xml_parse: value of attribute x is longer than 511999 bytes"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        document_t doc;
        EXPECT_EQ(0, parse(r.ok, &doc));
        EXPECT_EQ(xml_get_size(&doc), static_cast<int>(write_to_string(doc).size()));
        EXPECT_EQ(-1, parse(r.too_long, &doc));
        EXPECT_TRUE(log.has_line(r.message));
        EXPECT_EQ(0, doc.nodes_count);
    }
}

TEST(XmlLimitsTest, TextIsCutTo511999BytesAndTheRestReadBetweenElements) {
    LogCapture log;
    document_t doc;
    ASSERT_EQ(0, parse("<a>" + std::string(xml_text_max, 't') + "</a>", &doc));
    EXPECT_EQ(xml_text_max, doc.nodes[0].data_len);
    EXPECT_EQ(std::string::npos, log.text().find("cut"));

    ASSERT_EQ(0, parse("<a>" + std::string(xml_text_max, 't') + "xyz</a>", &doc));
    EXPECT_EQ(xml_text_max, doc.nodes[0].data_len);
    EXPECT_EQ(std::string(xml_text_max, 't'), doc.nodes[0].data);
    EXPECT_TRUE(log.has_line("WARN: : xml_parse: text of element a is cut to its first 511999 bytes"));
    EXPECT_EQ(1u, count_lines(log, ": xml_parse: garbage character x in state VACUUM"));
    EXPECT_EQ(1u, count_lines(log, ": xml_parse: 3 garbage characters in state VACUUM in all"));

    // The cut lands between elements, where a '/' starts an end tag.
    ASSERT_EQ(0, parse("<r><a>" + std::string(xml_text_max, 't') + "/a><b/></r>", &doc));
    EXPECT_EQ("r(a'" + std::string(xml_text_max, 't') + "'(),b)", describe(doc));
    ASSERT_EQ(-1, parse("<a>" + std::string(xml_text_max + 1, 't'), &doc));
}

TEST(XmlKeyTest, LooksUpAttributesIgnoringAsciiCaseFirstOneWins) {
    document_t doc;
    ASSERT_EQ(0, parse("<a name=\"1\" Name=\"2\" File-Name=\"f\"/><b/>", &doc));
    const node_t* a = &doc.nodes[0];
    EXPECT_STREQ("1", xml_node_get_key(a, "NAME"));
    EXPECT_STREQ("1", xml_node_get_key(a, "name"));
    EXPECT_STREQ("f", xml_node_get_key(a, "file-name"));
    EXPECT_EQ(nullptr, xml_node_get_key(a, "nam"));
    EXPECT_EQ(nullptr, xml_node_get_key(a, "names"));
    EXPECT_EQ(nullptr, xml_node_get_key(a, ""));
    EXPECT_EQ(nullptr, xml_node_get_key(&doc.nodes[1], "name"));

    LogCapture log;
    EXPECT_EQ(nullptr, xml_node_get_key(nullptr, "name"));
    EXPECT_TRUE(log.has_line("ERROR: : xml_node_get_key: NODE is NULL"));
    EXPECT_EQ(nullptr, xml_node_get_key(a, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_node_get_key: name of the key is NULL"));
}

TEST(XmlWriterTest, WritesNoEmptyElementFormNoEscapesNoIndentation) {
    const struct {
        const char* input;
        const char* output;
    } rows[] = {
        {"<a x=\"1\">t<b/></a>", "<a x=\"1\">t<b></b>\n</a>\n"},
        {"<a/>", "<a></a>\n"},
        {"<a >\n  <b k=\"1 < 2 & 3\" j=\"\"/>\n</a><c/>", "<a>\n  <b k=\"1 < 2 & 3\" j=\"\"></b>\n</a>\n<c></c>\n"},
        {"<a>&amp;<!-- c --></a>", "<a>&amp;</a>\n"},
        {"<?xml version=\"1.0\"?>", ""},
        {"", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.input);
        document_t doc;
        ASSERT_EQ(0, parse(r.input, &doc));
        const std::string written = write_to_string(doc);
        EXPECT_EQ(r.output, written);
        EXPECT_EQ(static_cast<int>(written.size()), xml_get_size(&doc));
        if (doc.nodes.size() == 1) {
            EXPECT_EQ(static_cast<int>(written.size()), xml_get_node_size(&doc.nodes[0]));
        }
    }
}

TEST(XmlWriterTest, ParseWriteParseGivesTheSameTree) {
    const char* inputs[] = {
        "<?xml version=\"1.0\"?>\n<seq name=\"main\">\n  <step module=\"a\" if=\"${x} == 1\"/>\n  <step></step>\n</seq>\n",
        "<r k=\"v>\"><a>t1<b>t2<c x=\"\">t3</c></b></a><d/></r><s>\r\n</s>",
        "<a>hello<b/>world</a><c></d>",
    };
    for (const char* input : inputs) {
        SCOPED_TRACE(input);
        document_t first;
        ASSERT_EQ(0, parse(input, &first));
        const std::string written = write_to_string(first);
        document_t second;
        ASSERT_EQ(0, parse(written, &second));
        // Absent lists of children become empty ones (the writer knows no empty-element form), and
        // so do empty lists of attributes written as none: only names, texts and contents are equal.
        EXPECT_EQ(static_cast<int>(written.size()), xml_get_size(&second));
        EXPECT_EQ(written, write_to_string(second));
        ASSERT_EQ(first.nodes.size(), second.nodes.size());
        for (size_t r = 0; r < first.nodes.size(); ++r) {
            EXPECT_EQ(first.nodes[r].data, second.nodes[r].data);
            EXPECT_EQ(first.nodes[r].keys.size(), second.nodes[r].keys.size());
        }
    }
}

TEST(XmlWriterTest, HandBuiltCountsNeverWalkPastTheirContainers) {
    node_t node;
    node.name = "a";
    node.keys.push_back(xml_key_t{"k", "v"});
    node.keys_count = 5;
    node_t child;
    child.name = "b";
    node.childs.push_back(child);
    node.childs_count = 3;
    node.data = "d";
    node.data_len = 1;
    document_t doc;
    doc.nodes.push_back(node);
    doc.nodes_count = 4;
    EXPECT_EQ("<a k=\"v\">d<b></b>\n</a>\n", write_to_string(doc));
    EXPECT_EQ(23, xml_get_size(&doc));
}

TEST(XmlWriterTest, Failures) {
    TempDir dir;
    LogCapture log;
    document_t doc;
    ASSERT_EQ(0, parse("<a>t</a>", &doc));
    EXPECT_EQ(-1, xml_write(nullptr, &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write: file name is null"));
    const std::string path = dir.file("out.xml");
    EXPECT_EQ(-1, xml_write(path.c_str(), nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write: xml document is null"));
    EXPECT_FALSE(std::ifstream(path).good());
    const std::string no_dir = dir.file("missing/out.xml");
    EXPECT_EQ(-1, xml_write(no_dir.c_str(), &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write: can not create " + no_dir + " file"));
    EXPECT_EQ(-1, xml_write("/dev/full", &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write: can not write /dev/full file"));

    EXPECT_EQ(-1, xml_write_to_handle(nullptr, &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write_to_handle: file handle is null"));
    EXPECT_EQ(-1, xml_write_to_handle(stdout, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write_to_handle: xml document is null"));
    EXPECT_EQ(-1, xml_write_node_to_handle(stdout, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write_node_to_handle: NODE is NULL"));
    EXPECT_EQ(-1, xml_write_node_to_handle(nullptr, &doc.nodes[0]));
    EXPECT_NE(std::string::npos, log.text().find("ERROR: : src/xml.cc:")) << log.text();
    EXPECT_TRUE(log.has_line(": parameter is null"));

    // An unbuffered stream on a full device fails at the first write.
    FILE* full = fopen("/dev/full", "wb");
    ASSERT_NE(nullptr, full);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(-1, xml_write_to_handle(full, &doc));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write_to_handle: write failed"));
    EXPECT_EQ(-1, xml_write_node_to_handle(full, &doc.nodes[0]));
    EXPECT_TRUE(log.has_line("ERROR: : xml_write_node_to_handle: write failed"));
    fclose(full);
}

TEST(XmlWriterTest, WritesOneElementToAHandle) {
    TempDir dir;
    document_t doc;
    ASSERT_EQ(0, parse("<a><b k=\"1\">x</b></a>", &doc));
    const std::string path = dir.file("node.xml");
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(0, xml_write_node_to_handle(file, &doc.nodes[0].childs[0]));
    EXPECT_EQ(0, xml_write_to_handle(file, &doc));
    fclose(file);
    EXPECT_EQ("<b k=\"1\">x</b>\n<a><b k=\"1\">x</b>\n</a>\n", read_file(path));
}

TEST(XmlSizeTest, SizesAndTheirFailures) {
    LogCapture log;
    EXPECT_EQ(-1, xml_get_node_size(nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_get_node_size: NODE is NULL"));
    EXPECT_EQ(-1, xml_get_size(nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : xml_get_size: xml document is null"));

    node_t unnamed;
    EXPECT_EQ(-1, xml_get_node_size(&unnamed));
    EXPECT_TRUE(log.has_line("ERROR: : xml_get_node_size: name of the node is null"));
    document_t doc;
    ASSERT_EQ(0, parse("<a><b/></a>", &doc));
    doc.nodes[0].childs[0].name.clear();
    EXPECT_EQ(-1, xml_get_size(&doc));
}

TEST(XmlDumpTest, DumpsEveryElementIndentedByDepth) {
    document_t doc;
    ASSERT_EQ(0, parse("<r k=\"v\">t<c><g/></c></r><s/>", &doc));
    LogCapture log;
    EXPECT_EQ(0, xml_dump(&doc));
    for (const char* line : {": xml_node_dump: NODE: r", ": xml_node_dump: KEY: k=v", ": xml_node_dump: DATA: t",
                             ": xml_node_dump:   NODE: c", ": xml_node_dump:     NODE: g", ": xml_node_dump: NODE: s"}) {
        EXPECT_EQ(1u, count_lines(log, line)) << line;
    }
    EXPECT_EQ(-1, xml_dump(nullptr));
}

TEST(XmlFreeTest, FreeingEmptiesTheRecords) {
    document_t doc;
    ASSERT_EQ(0, parse("<a x=\"1\">t<b/></a>", &doc));
    node_t node = doc.nodes[0];
    EXPECT_EQ(0, xml_free_doc(&doc));
    EXPECT_EQ(0, doc.nodes_count);
    EXPECT_TRUE(doc.nodes.empty());
    EXPECT_EQ(0, xml_free_node(&node));
    EXPECT_EQ("", describe(node));
    EXPECT_EQ(-1, node.data_len);
    EXPECT_EQ(0, xml_set2zero_node(&node));
    EXPECT_EQ(0, node.data_len);
    EXPECT_EQ(0, node.keys_count);
    EXPECT_EQ(0, node.childs_count);
}

// The sequence model: splicing step lists, the visited-action stack, lookups of steps and loaded
// sequences, loading sequence.ini and containers from a store, and document runs in process.
#include "seq.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::StoreFile;
using lumo_test::TempDir;

namespace {

// Steps with ids "<prefix><n>", owned by the test.
struct step_pool {
    std::vector<std::unique_ptr<step_t>> owned;
    std::vector<step_t*> list(const std::string& prefix, int count) {
        std::vector<step_t*> steps;
        for (int i = 0; i < count; ++i) {
            owned.push_back(std::make_unique<step_t>());
            owned.back()->id = prefix + std::to_string(i);
            steps.push_back(owned.back().get());
        }
        return steps;
    }
};

std::string ids(const std::vector<step_t*>& steps) {
    std::string text;
    for (const step_t* step : steps) text += (text.empty() ? "" : ",") + step->id;
    return text;
}

std::string stack_text(const seq_stack_t* stack) {
    std::string text;
    for (; stack; stack = stack->next.get()) text += stack->value + ";";
    return text;
}

// A session whose store holds the files, with the folders a container load needs.
class SeqStore : public ::testing::Test {
protected:
    void open(std::vector<StoreFile> files) {
        files.push_back({"_internal_", "placeholder", "", ""});  // the writer wants one entry at least
        ASSERT_TRUE(lumo_test::make_store(m_dir.file("install.cab"), files));
        ASSERT_EQ(0, store_read_header(&m_session, m_session.store.get(), m_dir.file("install.cab").c_str()));
        std::filesystem::create_directories(m_dir.file("temp"));
        env_set_string(&m_session, "CONFIG_DIR", m_dir.path());
        env_set_string(&m_session, "TEMP_FOLDER", m_dir.file("temp"));
    }
    seq_item_t* load(const std::string& container) {
        auto item = std::make_unique<seq_item_t>();
        item->doc = std::make_unique<document_t>();
        EXPECT_EQ(0, xml_parse(container.c_str(), item->doc.get()));
        item->filename = "main.xml";
        m_session.seqs->seq.push_back(std::move(item));
        m_session.seqs->current = m_session.seqs->seq.back().get();
        return m_session.seqs->current;
    }
    std::string prop(const char* name) { return env_get_string(&m_session, std::string(name)); }
    // One run of the document's first root (none for a null document) with the store.
    transition_t run_document(document_t* doc, const char* section, step_cursor_t* cursor) {
        return sequence_execute_document(&m_session, m_session.store.get(), doc ? &doc->nodes[0] : nullptr, section,
                                         cursor);
    }

    LogCapture m_log;
    TempDir m_dir;
    session_t m_session;
};

const char module_doc[] =
    "<module><behavior><action id=\"a\"><set property=\"RAN\" value=\"yes\"/><next call=\"_next_\"/></action>"
    "</behavior></module>";

}  // namespace

TEST(SeqMergeTest, KeepsStepsThroughOutAndAppendsFromIn) {
    step_pool pool;
    const std::vector<step_t*> other = pool.list("b", 8);
    const struct {
        int count1, out, in;
        const char* expected;
    } rows[] = {
        {4, 2, 5, "a0,a1,a2,b5,b6,b7"},
        {4, 3, -1, "a0,a1,a2,a3,b0,b1,b2,b3,b4,b5,b6,b7"},
        {4, 9, 7, "a0,a1,a2,a3,b7"},        // out past the list keeps all of it
        {4, -1, 6, "b6,b7"},                // nothing kept before
        {2, 3, 8, "a0,a1"},                 // count 1 limits what is kept; in at the end adds nothing
        {99, 1, 0, "a0,a1,b0,b1,b2,b3,b4,b5,b6,b7"},  // a count beyond the list is not trusted
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        std::vector<step_t*> list = pool.list("a", 4);
        const int count = merge_steps(list, row.count1, row.out, other, 8, row.in);
        EXPECT_EQ(row.expected, ids(list));
        EXPECT_EQ(static_cast<int>(list.size()), count);
    }
}

TEST(SeqMergeTest, LogsAndGrowsBeyondFourThousandSteps) {
    LogCapture log;
    step_pool pool;
    std::vector<step_t*> list = pool.list("a", 4096);
    const std::vector<step_t*> other = pool.list("b", 4096);
    EXPECT_EQ(8191, merge_steps(list, 4096, 4095, other, 4096, 1));
    EXPECT_EQ("a4095", list[4095]->id);
    EXPECT_EQ("b4095", list[8190]->id);
    EXPECT_TRUE(log.has_line(": merge_steps: started"));
    EXPECT_TRUE(log.has_line(": merge_steps: steplist1 count = 4096, out = 4095"));
    EXPECT_TRUE(log.has_line(": merge_steps: steplist2 count = 4096; in = 1"));
    EXPECT_TRUE(log.has_line(": merge_steps: modules count after merging = 8191"));
    EXPECT_TRUE(log.has_line(": merge_steps: finished"));
}

TEST(SeqStackTest, PushPopAndFlushInStackOrder) {
    LogCapture log;
    std::unique_ptr<seq_stack_t> stack;
    EXPECT_EQ(nullptr, pop(&stack));
    EXPECT_EQ(1, push(&stack, "first"));
    EXPECT_EQ(1, push(&stack, "second"));
    EXPECT_EQ("second;first;", stack_text(stack.get()));
    EXPECT_TRUE(log.has_line(": seq_push"));
    EXPECT_TRUE(log.has_line(": print_seq_stack: the seq stack are:"));
    EXPECT_TRUE(log.has_line(": print_seq_stack: second"));
    std::unique_ptr<seq_stack_t> top = pop(&stack);
    ASSERT_NE(nullptr, top);
    EXPECT_EQ("second", top->value);
    EXPECT_EQ(nullptr, top->next);
    EXPECT_TRUE(log.has_line(": seq_pop"));
    EXPECT_EQ("first;", stack_text(stack.get()));
    push(&stack, "third");
    flush(&stack);
    EXPECT_EQ(nullptr, stack);
    flush(&stack);
    flush(nullptr);
    EXPECT_EQ(-1, push(nullptr, "x"));
    EXPECT_EQ(nullptr, pop(nullptr));
    EXPECT_NE(std::string::npos, log.text().find("ERROR: : src/seq.cc:"));
}

TEST(SeqStackTest, LongStackIsFreedWithoutDeepRecursion) {
    std::unique_ptr<seq_stack_t> stack;
    for (int i = 0; i < 500000; ++i) {
        auto node = std::make_unique<seq_stack_t>();
        node->next = std::move(stack);
        stack = std::move(node);
    }
    stack.reset();
    EXPECT_EQ(nullptr, stack);
}

TEST(SeqLookupTest, ModuleIndexIsTheFirstStepWithTheId) {
    LogCapture log;
    step_pool pool;
    seq_item_t sequence;
    sequence.seq_steps = pool.list("m", 3);
    sequence.seq_steps.push_back(sequence.seq_steps[1]);
    EXPECT_EQ(1, get_module_index_by_id(&sequence, "m1"));
    EXPECT_TRUE(log.has_line(": get_module_index_by_id: module m1 has 1 index"));
    EXPECT_EQ(-1, get_module_index_by_id(&sequence, "M1"));
    EXPECT_TRUE(log.has_line(": get_module_index_by_id: module M1 has not been found"));
    EXPECT_EQ(-1, get_module_index_by_id(nullptr, "m1"));
}

TEST(SeqLookupTest, SequenceByFilenameComparesBytes) {
    LogCapture log;
    session_t session;
    for (const char* name : {"main.xml", "extra.xml"}) {
        session.seqs->seq.push_back(std::make_unique<seq_item_t>());
        session.seqs->seq.back()->filename = name;
    }
    EXPECT_EQ(session.seqs->seq[1].get(), get_sequence_by_filename(&session, "extra.xml"));
    EXPECT_TRUE(log.has_line(": get_sequence_by_filename: sequence extra.xml found in cache"));
    EXPECT_EQ(nullptr, get_sequence_by_filename(&session, "Extra.xml"));
    EXPECT_TRUE(log.has_line(": get_sequence_by_filename: sequence Extra.xml NOT found in cache"));
    EXPECT_EQ(nullptr, get_sequence_by_filename(nullptr, "main.xml"));
}

TEST_F(SeqStore, InitSequenceTakesTheFirstTrueLineThatLoads) {
    open({{"_internal_", "sequence.ini",
           "# comment\r\n\r\n_internal_:two-fields\n_internal_:never.xml:PICK = yes\n"
           "_internal_:missing.xml:\n_internal_:broken.xml:\n_internal_:good.xml:\n_internal_:later.xml:\n",
           ""},
          {"_internal_", "broken.xml", "<sequence><module>", ""},
          {"_internal_", "good.xml", "<sequence/>", ""},
          {"_internal_", "later.xml", "<sequence/>", ""}});
    ASSERT_EQ(0, init_sequence(&m_session));
    ASSERT_EQ(1u, m_session.seqs->seq.size());
    EXPECT_EQ("good.xml", m_session.seqs->seq[0]->filename);
    EXPECT_EQ(m_session.seqs->seq[0].get(), m_session.seqs->current);
    EXPECT_TRUE(m_log.has_line(": init_sequence: started"));
    EXPECT_TRUE(m_log.has_line(": init_sequence: less than three components, skipping this line"));
    EXPECT_TRUE(m_log.has_line(": init_sequence: Condition is false"));
    EXPECT_TRUE(m_log.has_line("ERROR: : init_sequence: can't extract _internal_::missing.xml"));
    EXPECT_TRUE(m_log.has_line("ERROR: : init_sequence: can't load the sequence data"));
    EXPECT_TRUE(m_log.has_line(": init_sequence: Looks like we should read _internal_::good.xml sequence file"));
    EXPECT_EQ(std::string::npos, m_log.text().find("later.xml sequence file"));
    EXPECT_TRUE(m_log.has_line(": init_sequence: finished"));
}

TEST_F(SeqStore, InitSequenceReadsPathsAndReportsAMissingSelector) {
    open({{"_internal_", "other.txt", "x", ""}});
    EXPECT_EQ(0, init_sequence(&m_session));
    EXPECT_TRUE(m_log.has_line("ERROR: : init_sequence: There is no _internal_::sequence.ini"));
    EXPECT_TRUE(m_session.seqs->seq.empty());

    TempDir engine;
    lumo_test::write_file_text(engine.file("flow.xml"), "<sequence/>");
    lumo_test::write_file_text(engine.file("empty.xml"), "");
    session_t session;
    ASSERT_TRUE(lumo_test::make_store(m_dir.file("paths.cab"),
                                      {{"_internal_", "sequence.ini", ":flow.xml:\n", ""}}));
    ASSERT_EQ(0, store_read_header(&session, session.store.get(), m_dir.file("paths.cab").c_str()));
    EXPECT_EQ(-1, init_sequence(&session));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_init: can not read ENGINE_DIR property"));
    env_set_string(&session, "ENGINE_DIR", engine.path());
    EXPECT_EQ(0, init_sequence(&session));
    ASSERT_EQ(1u, session.seqs->seq.size());
    EXPECT_TRUE(m_log.has_line(": init_sequence: Looks like we should read " + engine.file("flow.xml") +
                               " sequence file"));

    session_t empty;
    ASSERT_TRUE(lumo_test::make_store(m_dir.file("empty.cab"),
                                      {{"_internal_", "sequence.ini", ":" + engine.file("empty.xml") + ":\n", ""}}));
    ASSERT_EQ(0, store_read_header(&empty, empty.store.get(), m_dir.file("empty.cab").c_str()));
    EXPECT_EQ(-1, init_sequence(&empty));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_init: can not read content of the " + engine.file("empty.xml")));
}

TEST_F(SeqStore, ContainerFollowsNextFromStartAndStopsAtARepeatedModule) {
    open({{"_internal_", "a.xml", module_doc, ""}, {"_internal_", "sub.xml", module_doc, ""}});
    seq_item_t* sequence = load(
        "<sequence>"
        "<module id=\"other\" file=\"a.xml\" component=\"_internal_\" action=\"a\"><next call=\"_start_\"/></module>"
        "<module id=\"_start_\" file=\"a.xml\" component=\"_internal_\" action=\"a\" name=\"One\">"
        "<module id=\"inner\" file=\"sub.xml\" component=\"_internal_\" action=\"a\"/>"
        "<module id=\"lost\" file=\"none.xml\" component=\"_internal_\" action=\"a\"/>"
        "<next call=\"${NEXT_ID}\"/></module>"
        "<module id=\"second\" file=\"none.xml\" component=\"_internal_\" action=\"a\" condition=\"X\">"
        "<next call=\"other\"/></module>"
        "<module id=\"second\" file=\"a.xml\" component=\"_internal_\"/>"
        "</sequence>");
    env_set_string(&m_session, "NEXT_ID", "second");
    ASSERT_EQ(0, sequence_execute_container(&m_session, sequence));
    EXPECT_EQ("_start_,second,other", ids(sequence->seq_steps));
    const step_t* first = sequence->seq_steps[0];
    EXPECT_NE(nullptr, first->doc);
    EXPECT_EQ("One", first->name);
    ASSERT_EQ(2u, first->sub.size());
    EXPECT_EQ("inner", first->sub[0]->id);
    EXPECT_NE(nullptr, first->sub[0]->doc);
    EXPECT_EQ(nullptr, first->sub[1]->doc);
    EXPECT_EQ(nullptr, sequence->seq_steps[1]->doc);
    EXPECT_EQ("X", sequence->seq_steps[1]->condition);
    EXPECT_EQ(sequence, sequence->seq_steps[2]->sequence);
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: found sub: inner"));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_container: can't extract _internal_::none.xml"));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_container: can't extract _internal_::none.xml HERE"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: next: second"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: found subs: 2"));
    EXPECT_TRUE(m_log.has_line(
        ": sequence_execute_container: Module info: id second, file none.xml, component _internal_, action a, "
        "name (null), condition X"));
    EXPECT_TRUE(m_log.has_line(
        "ERROR: : sequence_execute_container: module _start_ is already in the list, stopping here"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: finished"));
    // A sequence is built once.
    EXPECT_EQ(0, sequence_execute_container(&m_session, sequence));
    EXPECT_EQ(3u, sequence->seq_steps.size());
}

TEST_F(SeqStore, ContainerWithoutStartHasNoSteps) {
    open({{"_internal_", "a.xml", module_doc, ""}});
    seq_item_t* sequence = load("<sequence><module id=\"first\" file=\"a.xml\" component=\"_internal_\"/></sequence>");
    EXPECT_EQ(0, sequence_execute_container(&m_session, sequence));
    EXPECT_TRUE(sequence->seq_steps.empty());
    env_remove(&m_session, "CONFIG_DIR");
    seq_item_t* other = load("<sequence/>");
    EXPECT_EQ(-1, sequence_execute_container(&m_session, other));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_container: base_dir is null"));
}

TEST_F(SeqStore, LayerFilesStayInsideTheLayerFolder) {
    open({});
    const std::string long_name = std::string(4000, 'n') + "/" + std::string(200, 'x');
    ASSERT_TRUE(lumo_test::make_store(
        m_dir.file("layer.cab"),
        {{"_internal_", "lay.xml",
          "<layer><strings><s name=\"lay_title\">Title</s><s name=\"other\">O</s></strings>"
          "<strings locale=\"de\"><s name=\"lay_title\">Titel</s></strings></layer>",
          ""},
         {"_internal_", "tool.sh", "echo", ""},
         {"_internal_", "../escape.sh", "bad", ""},
         {"_internal_", "/tmp/absolute.sh", "bad", ""},
         {"_internal_", "a/../../up.sh", "bad", ""},
         {"_internal_32_", "only32.so", "32", ""},
         {"_internal_32e_", "only64.so", "64", ""}}));
    env_set_string(&m_session, "ARCH", "VEXAN64");
    env_set_string(&m_session, "LANG", "de");
    seq_item_t* sequence = load("<sequence><layer file=\"layer.cab\" id=\"lay\" executedir=\"bin\"/>"
                                "<layer id=\"nofile\"/><layer file=\"layer.cab\"/>"
                                "<layer file=\"layer.cab\" id=\"../up\"/></sequence>");
    ASSERT_EQ(0, sequence_execute_container(&m_session, sequence));
    ASSERT_EQ(1u, sequence->seq_layers.size());
    layer_t* layer = sequence->seq_layers[0];
    EXPECT_EQ("bin", layer->executedir);
    const std::string folder = m_dir.file("temp/lay");
    EXPECT_TRUE(lumo_test::exists_path(folder + "/tool.sh"));
    EXPECT_TRUE(lumo_test::exists_path(folder + "/only64.so"));
    EXPECT_FALSE(lumo_test::exists_path(folder + "/only32.so"));
    EXPECT_FALSE(lumo_test::exists_path(m_dir.file("temp/escape.sh")));
    EXPECT_FALSE(lumo_test::exists_path(m_dir.file("up.sh")));
    EXPECT_TRUE(m_log.has_line(
        "ERROR: : sequence_execute_container: entry _internal_:../escape.sh would land outside the layer folder, "
        "skipping"));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_container: layer file name is NULL"));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_container: id of layer is NULL"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: layer temp dir is " + folder + ", arch is VEXAN64"));
    // German strings are not used unless German is one of the additional locales.
    EXPECT_EQ("Title", env_get_string_internal(layer->properties, "lay_title"));
    EXPECT_EQ("O", env_get_string_internal(layer->properties, "other"));
    EXPECT_EQ("Title", prop("lay_title"));
    EXPECT_FALSE(env_exists(&m_session, std::string("other")));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: found localized strings for LANG 'de' but it is "
                               "not included into ADDITIONAL_LOCALES list"));
    EXPECT_EQ(nullptr, m_session.active_layer);

    // An existing target is kept; the localised strings apply once the locale is an additional one.
    lumo_test::write_file_text(folder + "/tool.sh", "mine");
    env_set_string(&m_session, "ADDITIONAL_LOCALES", "fr;de");
    seq_item_t* again = load("<sequence><layer file=\"layer.cab\" id=\"lay\"/></sequence>");
    ASSERT_EQ(0, sequence_execute_container(&m_session, again));
    EXPECT_EQ("mine", lumo_test::read_file(folder + "/tool.sh"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_container: entry " + folder + "/tool.sh already exists, skipping"));
    EXPECT_EQ("Titel", env_get_string_internal(again->seq_layers[0]->properties, "lay_title"));
    EXPECT_FALSE(env_exists_internal(again->seq_layers[0]->properties, "other"));
    // A link at the name, even one to nowhere, is not written through.
    std::remove((folder + "/tool.sh").c_str());
    ASSERT_EQ(0, symlink(m_dir.file("decoy").c_str(), (folder + "/tool.sh").c_str()));
    ASSERT_EQ(0, sequence_execute_container(&m_session, load("<sequence><layer file=\"layer.cab\" id=\"lay\"/></sequence>")));
    EXPECT_FALSE(lumo_test::exists_path(m_dir.file("decoy")));

    // A target path beyond the limit is refused, not cut.
    ASSERT_TRUE(lumo_test::make_store(m_dir.file("long.cab"), {{"_internal_", "lng.xml", "<layer/>", ""},
                                                               {"_internal_", long_name, "x", ""}}));
    seq_item_t* longer = load("<sequence><layer file=\"long.cab\" id=\"lng\"/></sequence>");
    EXPECT_EQ(-1, sequence_execute_container(&m_session, longer));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_container: entry_name max length exceeded"));
    sequence_free_all(&m_session);
    EXPECT_TRUE(m_session.seqs->seq.empty());
}

TEST_F(SeqStore, DocumentRunFollowsHandlesConditionsAndTheShift) {
    open({});
    document_t doc;
    ASSERT_EQ(0, xml_parse(
                     "<module><behavior>"
                     "<action id=\"ask\"><set property=\"SEEN\" value=\"${SEEN}x\"/>"
                     "<set property=\"NEVER\" value=\"1\" condition=\"NO_SUCH_PROPERTY\"/>"
                     "<next handle=\"a\" call=\"went_a\"/><next condition=\"GO_B\" call=\"went_b\"/>"
                     "<next call=\"_finish_\"/></action>"
                     "<action id=\"went_a\"><next call=\"_next_\"/></action>"
                     "<action id=\"went_b\"><next call=\"_in_\" sub=\"subm\"/></action>"
                     "<action id=\"odd\" type=\"strange\"/>"
                     "</behavior></module>",
                     &doc));
    const struct {
        const char* handle;
        bool go_b;
        int shift;
        const char* start;
        int code;
    } rows[] = {
        {"a", false, 0, "ask", 3}, {"b", false, 0, "ask", 2}, {"b", true, 0, "ask", 5},
        {"a", false, 1, "ask", 2},  // back from a sub-module: the first next is passed over
        {"", false, 0, "_prev_", 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.handle) + " " + row.start);
        env_set_string(&m_session, "HANDLE", row.handle);
        if (row.go_b) env_set_string(&m_session, "GO_B", "");
        else env_remove(&m_session, "GO_B");
        std::unique_ptr<seq_stack_t> visited;
        step_cursor_t cursor{row.start, row.shift, 0, &visited};
        const transition_t result = run_document(&doc, nullptr, &cursor);
        EXPECT_EQ(0, result.status);
        EXPECT_EQ(row.code, result.code);
        if (row.code == 5) {
            EXPECT_EQ(1, result.shift);
            EXPECT_EQ("subm", result.sub);
            EXPECT_EQ("went_b", cursor.start);
        }
    }
    EXPECT_FALSE(env_exists(&m_session, std::string("NEVER")));
    EXPECT_EQ("xxx", prop("SEEN"));  // the resumed run did not repeat the action
    EXPECT_TRUE(m_log.has_line(": sequence_exec_action: set the var \"SEEN\" with value \"x\""));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: detecting transition. Handle: a, condition: (null), "
                               "next_cur: 0, next_shift: 1, act: 0"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: moving into submodule subm from action went_b. "
                               "Result is 261"));

    step_cursor_t cursor{"odd"};
    EXPECT_EQ(-1, run_document(&doc, nullptr, &cursor).status);
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_document: Unknown type of the action - strange"));
    cursor.start = "a:b:c";
    EXPECT_EQ(-1, run_document(&doc, nullptr, &cursor).status);
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_document: bad syntax of transition to another sequence"));
    const transition_t empty = run_document(nullptr, nullptr, &cursor);
    EXPECT_EQ(0, empty.status);
    EXPECT_EQ(3, empty.code);
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: Nothing to process, exiting"));
    EXPECT_EQ(-1, run_document(&doc, nullptr, nullptr).status);
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_document: parameter is NULL"));
}

TEST_F(SeqStore, BackAndPreviousUseTheVisitedStack) {
    open({});
    document_t doc;
    ASSERT_EQ(0, xml_parse("<module><behavior>"
                           "<action id=\"step\"><next handle=\"go\" call=\"_next_\"/><back condition=\"${HANDLE} = back\"/></action>"
                           "<action id=\"earlier\"><set property=\"EARLIER\" value=\"yes\"/>"
                           "<next call=\"_finish_\"/></action>"
                           "</behavior></module>",
                           &doc));
    env_set_string(&m_session, "HANDLE", "back");
    std::unique_ptr<seq_stack_t> visited;
    push(&visited, "earlier");
    step_cursor_t cursor{"step", 0, 0, &visited};
    EXPECT_EQ(2, run_document(&doc, nullptr, &cursor).code);
    EXPECT_EQ("yes", prop("EARLIER"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: perform \"step_back\" action"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: next name is earlier"));
    // Nothing left to go back to: the step is left backwards.
    cursor.start = "step";
    EXPECT_EQ(4, run_document(&doc, nullptr, &cursor).code);
    EXPECT_EQ(3, cursor.stack_flags);
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: moving to previous module1"));
    // "_prev_" pops the dialog just left; an earlier one below it keeps the run in the step, and
    // with nothing below it the step is left.
    for (const bool earlier : {true, false}) {
        SCOPED_TRACE(earlier);
        if (earlier) push(&visited, "earlier");
        push(&visited, "left");
        cursor.start = "_prev_";
        cursor.stack_flags = 3;
        EXPECT_EQ(4, run_document(&doc, nullptr, &cursor).code);
        EXPECT_EQ(earlier ? 0 : 3, cursor.stack_flags);
        EXPECT_EQ(earlier, visited != nullptr);
        flush(&visited);
    }
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: moving to previous module2"));
}

TEST_F(SeqStore, SectionSelectsTheBehaviorByIdKindAndCondition) {
    open({});
    document_t doc;
    ASSERT_EQ(0, xml_parse("<layer>"
                           "<behavior id=\"s1\" sequence=\"silent_inst\" action=\"wrong\"/>"
                           "<behavior id=\"s1\" sequence=\"cli_inst\" condition=\"NOPE\" action=\"wrong\"/>"
                           "<behavior id=\"s1\" sequence=\"cli_uninst;cli_inst\" action=\"right\">"
                           "<action id=\"right\"><set property=\"PICKED\" value=\"right\"/></action></behavior>"
                           "<behavior id=\"s2\" sequence=\"cli_inst\"/>"
                           "</layer>",
                           &doc));
    step_cursor_t cursor;
    const transition_t result = run_document(&doc, "s1", &cursor);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("right", prop("PICKED"));
    EXPECT_EQ(0, result.code);
    EXPECT_TRUE(m_log.has_line(
        ": sequence_execute_document(): sect id = s1, looked for s1, seqnames = cli_uninst;cli_inst"));
    EXPECT_TRUE(m_log.has_line(": sequence_execute_document: finished"));
    env_set_string(&m_session, "LUMO_MODE", "uninstall");
    env_set_string(&m_session, "silent", "");
    EXPECT_EQ(0, run_document(&doc, "s2", &cursor).status);
}

TEST_F(SeqStore, ExecuteReportsMissingSequenceAndRunsAnEmptyList) {
    open({});
    EXPECT_EQ(-1, sequence_execute(nullptr));
    EXPECT_EQ(-1, sequence_execute(&m_session));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute: sequence is NULL"));
    load("<sequence><module id=\"first\"/></sequence>");
    EXPECT_EQ(0, sequence_execute(&m_session));
    EXPECT_TRUE(m_log.has_line(": sequence_execute: finished"));
    EXPECT_EQ(std::string::npos, m_log.text().find("Execution error"));
    EXPECT_TRUE(m_session.seqs->seq.empty());
}

TEST_F(SeqStore, FailedDocumentRunReportsTheMissingTransitionAndEndsWithAnError) {
    open({{"_internal_", "m.xml", "<module><behavior><action id=\"a\" type=\"strange\"/></behavior></module>", ""}});
    load("<sequence><module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" action=\"a\"/></sequence>");
    EXPECT_EQ(0, sequence_execute(&m_session));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute_document: Unknown type of the action - strange"));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute: Unknown transition."));
    EXPECT_TRUE(m_log.has_line("ERROR: : sequence_execute: Execution error."));
    EXPECT_TRUE(m_log.has_line(": sequence_execute: finished"));
}

#include "lumo_select.h"

#include <gtest/gtest.h>

#include "console.h"
#include "env.h"
#include "test_util.h"
#include "tsd.h"
#include "utils.h"

using lumo_test::LogCapture;

namespace {

class LumoSelectTest : public ::testing::Test {
protected:
    void SetUp() override {
        session_.tsd = std::make_unique<TSD>(&session_);
        for (const std::string& t : splitString(
                 "tool_selection_none_install_type=none|tool_selection_custom_install_type=custom|"
                 "tool_selection_full_install_type=full|tool_selection_already_installed=there|"
                 "tool_selection_dialog_already_installed= (installed)|tool_selection_dialog_mandatory= (required)|"
                 "tool_selection_space_req=Space:|tool_selection_dep_desc=Also: ${DEP_INFO}|back=b|help=h|quit=q|"
                 "summary_inst_loc=Folder|summary_components=Parts|tsd_hide_summary_text=All of it|P_INDEX=-1|TSD_MAP=",
                 "|", false))
            set(t.substr(0, t.find('=')), t.substr(t.find('=') + 1));
    }
    void set(const std::string& name, const std::string& value) { env_set_string(&session_, name, value); }
    std::string get(const std::string& name) { return env_get_string(&session_, name); }
    // Components as "Name:flags size": m mandatory, i installed, s selected, v invisible, d depends on 1.1.
    Component* add(const std::string& name, int id, const std::vector<std::string>& components,
                   bool invisible = false) {
        auto product = std::make_unique<Component>(&session_);
        product->m_name = name;
        product->m_id = product->m_dynId = product->m_depId = id;
        product->m_invisible = invisible;
        int cid = 0;
        for (const std::string& spec : components) {
            auto c = std::make_unique<Component>(&session_);
            const std::string flags = spec.substr(spec.find(':') + 1);
            auto has = [&flags](char flag) { return flags.find(flag) != std::string::npos; };
            c->m_name = spec.substr(0, spec.find(':'));
            c->m_id = c->m_dynId = c->m_depId = ++cid;
            c->m_mandatory = has('m');
            c->m_installed = has('i');
            c->m_selected = has('s');
            c->m_invisible = has('v');
            c->m_depend = has('d') ? "1.1" : "";
            c->m_installSize = atoi(flags.c_str() + flags.find_first_of("0123456789"));
            product->addSubcomponent(std::move(c));
        }
        session_.tsd->addProduct(std::move(product));
        return session_.tsd->products().back();
    }
    std::string selection() {
        std::string bits;
        for (const Component* p : session_.tsd->products())
            for (const Component* c : p->subcomponents()) bits += c->m_selected ? "1" : "0";
        return bits;
    }

    session_t session_;
};

}  // namespace

TEST_F(LumoSelectTest, LevelsListNumberAndMarkPerMode) {
    add("Alpha", 1, {"A:s10", "B:s5"});
    add("Hidden", 2, {"H:s1"}, true);
    add("Beta", 3, {"C:s7", "D:0"});
    add("Gamma", 5, {"E:0"});
    add("Done", 6, {"F:is3"});
    Component* pack = add("Pack", 7, {"Core:ms8", "Lib:is4", "Docs:s2", "Extra:1", "Help:sv1"});
    pack->subcomponents()[3]->m_archGroup = "Extras (all)";
    const struct {
        const char* mode;
        Component* product;  // null: the product level
        const char* text;
        const char* map;
    } rows[] = {
        {"install", nullptr,
         "2. Alpha [full]\n3. Beta [custom]\n4. Gamma [none]\n5. Done [there]\n6. Pack [custom]\n\nSpace:  34MB\n",
         "2,1;3,3;4,5;5,6;6,7;"},
        {"modify", nullptr,
         "2. [x] Alpha\n3. [x] Beta\n4. [ ] Gamma\n5. [x] Done (installed)\n6. [x] Pack\n\nSpace:  34MB\n",
         "2,1;3,3;4,5;5,6;6,7;"},
        {"install", pack,
         "2. [x] Pack\n       [x] Core (required)\n       [x] Lib (installed)\n"
         "3.     [x] Docs\n4.     [ ] Extras (all)\n\nSpace:  11MB\n",
         "2,7;3,3;4,4;"},
        {"modify", pack,
         "2. [x] Pack\n       [x] Core (required)\n3.     [x] Lib\n"
         "4.     [x] Docs\n5.     [ ] Extras (all)\n\nSpace:  11MB\n",
         "2,7;3,2;4,3;5,4;"},
        {"uninstall", pack, "2. [x] Pack\n3.     [x] Lib\n\n", "2,7;3,2;"},
        {"repair", pack, "2. [x] Pack\n3.     [x] Lib (installed)\n\n", "2,7;3,2;"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.mode) + (r.product ? " components" : " products"));
        set("LUMO_MODE", r.mode);
        ASSERT_EQ(0, r.product ? prepare_component_level_dialog(&session_, r.product)
                               : prepare_product_level_dialog(&session_));
        EXPECT_EQ(r.text, get("TSD_TEXT"));
        EXPECT_EQ(r.map, get("TSD_MAP"));
    }
    EXPECT_EQ("2;3;b;h;q", get("TSD_VAL_LIST"));
    set("LUMO_MODE", "install");
    Component* many = add("Many", 8, {"c1:0", "c2:0", "c3:0", "c4:0", "c5:0", "c6:0", "c7:0", "c8:0", "c9:0", "c10:0"});
    ASSERT_EQ(0, prepare_component_level_dialog(&session_, many));
    EXPECT_NE(std::string::npos, get("TSD_TEXT").find("\n9.     [ ] c7\n10.    [ ] c8\n")) << get("TSD_TEXT");
    EXPECT_EQ("2;3;4;5;6;7;8;9;10;11;12;b;h;q", get("TSD_VAL_LIST"));
}

TEST_F(LumoSelectTest, AnswersWalkTheLevelsAndCarryDependencies) {
    add("Base", 1, {"Runtime:0", "Extras:0"});
    add("Tools", 2, {"Tool:d0", "More:0"});
    session_.tsd->resolveDependencies();
    set("HANDLE", "1");  // left over from an earlier dialog: the first call only draws
    const struct {
        const char* handle;
        const char* p_index;
        const char* map;
        const char* selected;
    } steps[] = {
        {"1", "-1", "2,1;3,2;", "0000"},     {"3", "2", "2,2;3,1;4,2;", "0000"},
        {"3", "2", "2,2;3,1;4,2;", "1010"},  {"99", "2", "2,2;3,1;4,2;", "1010"},
        {"2x", "2", "2,2;3,1;4,2;", "1010"}, {"h", "2", "2,2;3,1;4,2;", "1010"},
        {"2", "2", "2,2;3,1;4,2;", "1000"},  {"2", "2", "2,2;3,1;4,2;", "1011"},
        {"b", "-1", "2,1;3,2;", "1011"},     {"", "-1", "2,1;3,2;", "1011"},
        {"2", "1", "2,1;3,1;4,2;", "1011"},  {"3", "1", "2,1;3,1;4,2;", "0001"},
        {"1", "-1", "2,1;3,2;", "0001"},     {"1", "-1", "", "0001"},
    };
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        SCOPED_TRACE("answer " + std::to_string(i) + ": " + steps[i].handle);
        if (i > 0) set("HANDLE", steps[i].handle);
        ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
        EXPECT_EQ(steps[i].p_index, get("P_INDEX"));
        EXPECT_EQ(steps[i].map, get("TSD_MAP"));
        EXPECT_EQ(steps[i].selected, selection());
        EXPECT_EQ(i + 1 == sizeof(steps) / sizeof(steps[0]) ? "finish" : "", get("TSD_TODO"));
        EXPECT_EQ("no", get("FINISH_CONFIGURATION"));
        if (i == 2 || i == 11) {
            EXPECT_NE(std::string::npos, get("TSD_TEXT").find("\nAlso: ")) << get("TSD_TEXT");
        }
    }
}

// Marking a whole product for removal leaves the marks of the other products as they were.
TEST_F(LumoSelectTest, RemovingAWholeProductKeepsTheOtherProductsMarks) {
    set("LUMO_MODE", "uninstall");
    add("Base", 1, {"Runtime:is1", "Extras:is1"});
    add("Tools", 2, {"Tool:is1", "More:is1"});
    const struct {
        const char* handle;
        const char* p_index;
        const char* selected;
    } steps[] = {{"1", "-1", "1111"}, {"2", "1", "1111"}, {"2", "1", "0011"}, {"2", "1", "1111"},
                 {"2", "1", "0011"},  {"1", "-1", "0011"}, {"3", "2", "0011"}, {"2", "2", "0000"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.handle);
        set("HANDLE", step.handle);
        ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
        EXPECT_EQ(step.p_index, get("P_INDEX"));
        EXPECT_EQ(step.selected, selection());
    }
}

// When a dependency keeps part of a product that the user unmarked, its mandatory part stays too:
// a modify run must not remove it from under the rest.
TEST_F(LumoSelectTest, WhatStaysOfAProductKeepsItsMandatoryComponents) {
    set("LUMO_MODE", "modify");
    add("Base", 1, {"Core:mis1", "Lib:mis1", "Docs:is1"});
    Component* tools = add("Tools", 2, {"Tool:is1", "Plug:is1"});
    tools->subcomponents()[0]->m_depend = "1.2";
    tools->subcomponents()[1]->m_depend = "2.1";
    session_.tsd->resolveDependencies();
    for (const char* handle : {"1", "2", "2"}) {
        set("HANDLE", handle);
        ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
    }
    EXPECT_EQ("11011", selection());
}

TEST_F(LumoSelectTest, BrokenStateFailsOrRedrawsNeverCrashes) {
    set("HANDLE", "2");
    set("P_INDEX", "");
    LogCapture log;
    EXPECT_EQ(-1, lumo_tool_selection_dialog_act(nullptr));
    EXPECT_EQ(-1, lumo_tool_selection_dialog_act(&session_));
    EXPECT_TRUE(log.has_line("ERROR: : lumo_tool_selection_dialog_act: tsd_p_index is null"));
    set("P_INDEX", "x");
    EXPECT_EQ(-1, lumo_tool_selection_dialog_act(&session_));
    // An empty product set: nothing to list, so nothing to ask.
    set("P_INDEX", "-1");
    ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
    EXPECT_EQ("b;h;q", get("TSD_VAL_LIST"));
    EXPECT_EQ("finish", get("TSD_TODO"));
    // A stale P_INDEX starts afresh, and a single product opens on its components.
    add("Solo", 3, {"One:is1", "Two:i1"});
    set("LUMO_MODE", "uninstall");
    set("P_INDEX", "9");
    ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
    EXPECT_TRUE(log.has_line(
        "ERROR: : lumo_tool_selection_dialog_act: no product has the dynamic id 9, the dialog starts again"));
    EXPECT_EQ("3", get("P_INDEX"));
    EXPECT_EQ("2,3;3,1;4,2;", get("TSD_MAP"));
    set("HANDLE", "4");  // removing: the choice is set even though no dependency is carried
    ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
    EXPECT_EQ("11", selection());
    set("TSD_MAP", "2,3;3,77;");
    set("HANDLE", "3");
    EXPECT_EQ(-1, lumo_tool_selection_dialog_act(&session_));
    EXPECT_TRUE(log.has_line("ERROR: : lumo_tool_selection_dialog_act: component is null"));
    set("HANDLE", "1");
    ASSERT_EQ(0, lumo_tool_selection_dialog_act(&session_));
    EXPECT_EQ("finish", get("TSD_TODO"));
    session_.tsd.reset();
    EXPECT_EQ(-1, lumo_tool_selection_dialog_act(&session_));
    EXPECT_EQ(-1, lumo_set_summary_text(&session_));
}

TEST_F(LumoSelectTest, SummaryListsTheChoiceInTextAndGraphicalForm) {
    Component* base = add("Base", 1, {"Runtime:s10", "Docs:2"});
    base->subcomponents()[0]->m_archGroup = "Runtime (all)";
    add("Tools", 2, {"Tool:0"});
    session_.tsd->selectUnselectProductsIfNecessary();
    LogCapture log;
    EXPECT_EQ(-1, lumo_set_summary_text(&session_));
    EXPECT_TRUE(log.has_line("ERROR: : lumo_set_summary_text: insdir is null"));
    set("LUMO_INSTALL_DIR", "/opt/x");
    const std::string padded = std::string(get_window_width() - 7 - 8, ' ') + "   10MB";  // " Base" fills the line
    ASSERT_EQ(0, lumo_set_summary_text(&session_));
    EXPECT_EQ("Folder:\n    /opt/x\n\nParts:\n    Base" + padded + "\n        Runtime (all)\n\nSpace:  10MB\n",
              get("SUMMARY_INFO"));
    set("gui", "1");
    ASSERT_EQ(0, lumo_set_summary_text(&session_));
    const std::string nb = "&nbsp;&nbsp;&nbsp;&nbsp;";
    EXPECT_EQ(0u, get("SUMMARY_INFO").find("Folder:<br>" + nb + "/opt/x<br><br>Parts:<br>" + nb + "Base"));
    EXPECT_NE(std::string::npos, get("SUMMARY_INFO").find("<br>" + nb + nb + "Runtime (all)<br><br>Space:  10MB<br>"));
    set("gui", "0");
    set("LUMO_MODE", "repair");
    set("TSD_HIDE", "yes");
    set("LUMO_INSTALL_DIR", "");
    ASSERT_EQ(0, lumo_set_summary_text(&session_));
    EXPECT_EQ("All of it\n", get("SUMMARY_INFO"));
}

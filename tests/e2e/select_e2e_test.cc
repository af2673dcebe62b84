// The tool selection dialog on a real terminal: a sequence builds the product set from a small
// media description, loops its own dialog over the selection actions until the user leaves, and
// shows the summary; English and German string tables.
#include <gtest/gtest.h>

#include <filesystem>

#include "seq_package.h"
#include "test_util.h"

using lumo_test::PtyRun;
using lumo_test::quote;

namespace {

const char* const select_module = R"(<module><behavior>
<action id="init" type="built_in" func="lumo_init_products_list"><next call="conf"/></action>
<action id="conf" type="built_in" func="lumo_configure_products_list"><next call="reindex"/></action>
<action id="reindex" type="built_in" func="lumo_reindex_products_list"><set property="TSD_MAP" value=""/><next call="act"/></action>
<action id="act" type="built_in" func="lumo_tool_selection_dialog_act">
  <next condition="${TSD_TODO} = finish" call="summary"/><next call="tsd"/></action>
<action id="tsd" type="dialog" call="tsd"><next handle="${quit}" call="_finish_"/><next call="act"/></action>
<action id="summary" type="built_in" func="lumo_set_summary_text"><next call="show"/></action>
<action id="show" type="dialog" call="show">
  <set property="D_SEL" value="${LUMO_MEDIA_rt_selected}${LUMO_MEDIA_docs_selected}${LUMO_MEDIA_tool_selected}${LUMO_MEDIA_ext_selected}"/>
  <next call="_finish_"/></action>
</behavior><interface view="cli">
<dialog id="tsd"><title text="${TSD_TITLE}"/><description text="${TSD_DESC}"/><question id="1" type="simple" text="${TSD_TEXT}"/>
  <input text="${ask}"><validation type="list" list="1;${TSD_VAL_LIST}" err="${err}"/></input></dialog>
<dialog id="show"><title text="${TSD_TITLE}"/><description text="${SUMMARY_INFO}"/>
  <input text="${ask}"><validation type="list" list="ENTER" err="${err}"/></input></dialog>
</interface></module>)";

std::string strings(const std::vector<std::pair<const char*, const char*>>& texts) {
    std::string xml = "<strings><string name=\"back\">b</string><string name=\"help\">h</string>"
                      "<string name=\"quit\">q</string>";
    for (const auto& t : texts) xml += "<string name=\"" + std::string(t.first) + "\">" + t.second + "</string>";
    return xml + "</strings>";
}

std::string component(int id, const char* name, const char* abbr, const char* extra, bool selected) {
    return "<Component id=\"" + std::to_string(id) + "\" " + extra + " platform=\"KX32;KX64;VEXAN64\"><Name>" + name +
           "</Name><Abbr>" + abbr + "</Abbr><Type>tgz</Type><RPMFileDir>${PACKAGE_DIR}/payload</RPMFileDir>"
           "<NONRPMProductCode>" + abbr + ".tar.gz</NONRPMProductCode><Version>1</Version><Data>3</Data><Selected>" +
           (selected ? "1" : "0") + "</Selected></Component>";
}

class SelectE2E : public SeqPackage {
protected:
    void SetUp() override {
        stage("product.ini", "PRODUCT_NAME=Select\nPRODUCT_VERSION=1.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"select.xml\" component=\"_internal_\" action=\"init\"/></sequence>");
        stage("select.xml", select_module);
        stage("strings.ini", "default:_internal_:strings_default.xml\nde:_internal_:strings_de.xml\n");
        stage("strings_default.xml",
              strings({{"tool_selection_product_level_title", "Choose products"}, {"tool_selection_component_level_title", "Choose components"},
                       {"tool_selection_custom_install_type", "custom"}, {"tool_selection_full_install_type", "full"},
                       {"tool_selection_dialog_mandatory", " (required)"}, {"tool_selection_dep_desc", "Changed with it: ${DEP_INFO}"},
                       {"tool_selection_space_req", "Space needed:"}, {"summary_inst_loc", "Folder"},
                       {"summary_components", "You chose"}, {"ask", "Your answer"}, {"err", "Type a number shown"}}));
        stage("strings_de.xml",
              strings({{"tool_selection_product_level_title", "Produkte"}, {"tool_selection_component_level_title", "Bestandteile"},
                       {"tool_selection_custom_install_type", "angepasst"}, {"tool_selection_full_install_type", "vollständig"},
                       {"tool_selection_dialog_mandatory", " (nötig)"}, {"tool_selection_space_req", "Platzbedarf:"},
                       {"summary_inst_loc", "Ordner"}, {"summary_components", "Ihre Wahl"}, {"ask", "Ihre Antwort"},
                       {"err", "Bitte eine Zahl"}}));
        pack();
        const std::string media =
            "<Media><Product id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>Base</Name><Abbr>base</Abbr>" +
            component(1, "Runtime", "rt", "mandatory=\"1\"", true) + component(2, "Docs", "docs", "", false) +
            "</Product><Product id=\"2\" platform=\"KX32;KX64;VEXAN64\"><Name>Tools</Name><Abbr>tools</Abbr>" +
            component(1, "Tool", "tool", "depend=\"1.2\"", false) + component(2, "Extras", "ext", "", true) + "</Product></Media>";
        lumo_test::write_file_text(m_dir.file("pkg/config/mediaconfig.xml"), media);
        std::filesystem::create_directories(m_dir.file("pkg/payload"));
        for (const char* abbr : {"rt", "docs", "tool", "ext"}) lumo_test::write_file_text(m_dir.file(std::string("pkg/payload/") + abbr + ".tar.gz"), "x");
        std::filesystem::create_directories(temp());
        std::filesystem::create_directories(m_dir.file("db"));
    }

    PtyRun on_terminal(const char* lang, const std::vector<lumo_test::PtyStep>& steps) {
        return lumo_test::run_on_pty({"/usr/bin/env", "-u", "LC_CTYPE", std::string("LANG=") + lang, m_dir.file("pkg/config/bin/lumo"),
                                      "--TEMP_FOLDER", temp(), "--__keep_temp__", "--INSTALL_MODE", "NONRPM", "--NONRPM_DB_DIR",
                                      m_dir.file("db"), "--LUMO_INSTALL_DIR", "/srv/suite"},
                                     steps, {80, 24, 30, m_dir.file("run")});
    }
};

}  // namespace

TEST_F(SelectE2E, EnglishDialogCarriesADependencyAndSummarises) {
    const PtyRun run = on_terminal("C", {{"2. Base [custom]\n3. Tools [custom]\n\nSpace needed:   6MB", ""},
                                         {"Your answer", "9\n"},
                                         {"Type a number shown", "3\n"},
                                         {"2. [x] Tools\n3.     [ ] Tool\n4.     [x] Extras", ""},
                                         {"Your answer", "3\n"},
                                         {"3.     [x] Tool", ""},
                                         {"Changed with it: Docs", ""},
                                         {"Your answer", "b\n"},
                                         {"2. Base [full]\n3. Tools [full]\n\nSpace needed:  12MB", ""},
                                         {"Your answer", "1\n"},
                                         {"Folder:\n    /srv/suite\n\nYou chose:\n    Base", ""},
                                         {"        Runtime\n        Docs\n", ""},
                                         {"Your answer", "\n"}});
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ("1111", value("D_SEL")) << run.screen;
}

TEST_F(SelectE2E, GermanDialogAddsAnOptionalComponent) {
    const PtyRun run = on_terminal("de", {{"Produkte", ""},
                                          {"2. Base [angepasst]", ""},
                                          {"Ihre Antwort", "2\n"},
                                          {"Bestandteile", ""},
                                          {"       [x] Runtime (nötig)\n3.     [ ] Docs", ""},
                                          {"Ihre Antwort", "3\n"},
                                          {"3.     [x] Docs", ""},
                                          {"Ihre Antwort", "1\n"},
                                          {"2. Base [vollständig]", ""},
                                          {"Ihre Antwort", "1\n"},
                                          {"Ordner:\n    /srv/suite", ""},
                                          {"Ihre Antwort", "\n"}});
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ("1101", value("D_SEL")) << run.screen;
}

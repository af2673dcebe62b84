// The tool selection dialog on a real terminal: a sequence builds the product set from a small
// media description, loops its own dialog over the selection action until the user leaves, and
// shows the summary; English and German string tables.
#include <gtest/gtest.h>

#include <filesystem>

#include "seq_package.h"
#include "test_util.h"
#include "utils.h"

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
  <set property="D_SEL" value="${LUMO_MEDIA_Runtime_selected}${LUMO_MEDIA_Docs_selected}${LUMO_MEDIA_Tool_selected}${LUMO_MEDIA_Extras_selected}"/>
  <next call="_finish_"/></action>
</behavior><interface view="cli">
<dialog id="tsd"><title text="${TSD_TITLE}"/><description text="${TSD_DESC}"/><question id="1" type="simple" text="${TSD_TEXT}"/>
  <input text="${ask}"><validation type="list" list="1;${TSD_VAL_LIST}" err="${err}"/></input></dialog>
<dialog id="show"><title text="${TSD_TITLE}"/><description text="${SUMMARY_INFO}"/>
  <input text="${ask}"><validation type="list" list="ENTER" err="${err}"/></input></dialog>
</interface></module>)";

// A string table with the dialog's answer words and the given texts, "name=text" joined by "|".
std::string strings(const std::string& texts) {
    std::string xml = "<strings><string name=\"back\">b</string><string name=\"quit\">q</string>";
    for (const std::string& t : splitString(texts, "|", false))
        xml += "<string name=\"" + t.substr(0, t.find('=')) + "\">" + t.substr(t.find('=') + 1) + "</string>";
    return xml + "</strings>";
}

std::string component(int id, const char* name, const char* extra, bool selected) {
    return "<Component id=\"" + std::to_string(id) + "\" " + extra + " platform=\"KX32;KX64;VEXAN64\"><Name>" + name +
           "</Name><Abbr>" + name + "</Abbr><Type>tgz</Type><RPMFileDir>${PACKAGE_DIR}/payload</RPMFileDir>" +
           "<NONRPMProductCode>" + name + ".tar.gz</NONRPMProductCode><Data>3</Data><Selected>" +
           (selected ? "1" : "0") + "</Selected></Component>";
}

class SelectE2E : public SeqPackage {};

}  // namespace

TEST_F(SelectE2E, DialogWalksBothLevelsInTwoLanguages) {
    stage("product.ini", "PRODUCT_NAME=Select\nPRODUCT_VERSION=1.0\n");
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><module id=\"_start_\" file=\"s.xml\" component=\"_internal_\" action=\"init\"/></sequence>");
    stage("s.xml", select_module);
    stage("strings.ini", "default:_internal_:en.xml\nde:_internal_:de.xml\n");
    stage("en.xml",
          strings("tool_selection_product_level_title=Products|tool_selection_custom_install_type=custom|"
                  "tool_selection_full_install_type=full|tool_selection_dep_desc=Changed with it: ${DEP_INFO}|"
                  "tool_selection_space_req=Space:|summary_inst_loc=Folder|summary_components=You chose|"
                  "ask=Answer|err=Type a number shown"));
    stage("de.xml", strings("tool_selection_custom_install_type=angepasst|tool_selection_full_install_type=vollständig|"
                            "tool_selection_dialog_mandatory= (nötig)|summary_inst_loc=Ordner|ask=Antwort"));
    pack();
    const std::string media = "<Media><Product id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>Base</Name>" +
                              component(1, "Runtime", "mandatory=\"1\"", true) + component(2, "Docs", "", false) +
                              "</Product><Product id=\"2\" platform=\"KX32;KX64;VEXAN64\"><Name>Tools</Name>" +
                              component(1, "Tool", "depend=\"1.2\"", false) + component(2, "Extras", "", true) +
                              "</Product></Media>";
    lumo_test::write_file_text(m_dir.file("pkg/config/mediaconfig.xml"), media);
    std::filesystem::create_directories(m_dir.file("pkg/payload"));
    for (const char* name : {"Runtime", "Docs", "Tool", "Extras"})
        lumo_test::write_file_text(m_dir.file(std::string("pkg/payload/") + name + ".tar.gz"), "x");
    const struct {
        const char* lang;
        std::vector<lumo_test::PtyStep> steps;
        const char* selected;
    } runs[] = {
        {"C",
         {{"2. Base [custom]\n3. Tools [custom]\n\nSpace:   6MB", ""},
          {"Answer", "9\n"},  // no such line: the dialog asks again
          {"Type a number shown", "3\n"},
          {"2. [x] Tools\n3.     [ ] Tool\n4.     [x] Extras", "3\n"},
          {"3.     [x] Tool", ""},
          {"Changed with it: Docs", "b\n"},
          {"2. Base [full]\n3. Tools [full]\n\nSpace:  12MB", "1\n"},
          {"Folder:\n    /srv/suite\n\nYou chose:\n    Base", ""},
          {"        Runtime\n        Docs\n", "\n"}},
         "1111"},
        {"de",
         {{"2. Base [angepasst]", "2\n"},
          {"2. [x] Base\n       [x] Runtime (nötig)\n3.     [ ] Docs", "3\n"},
          {"3.     [x] Docs", "1\n"},
          {"2. Base [vollständig]", "1\n"},
          {"Ordner:\n    /srv/suite", "\n"}},
         "1101"},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.lang);
        const std::string cwd = m_dir.file(std::string("run-") + r.lang);  // the log lands beside temp/
        std::filesystem::create_directories(cwd + "/temp");
        const lumo_test::PtyRun run = lumo_test::run_on_pty(
            {"/usr/bin/env", "-u", "LC_CTYPE", std::string("LANG=") + r.lang, m_dir.file("pkg/config/bin/lumo"),
             "--TEMP_FOLDER", cwd + "/temp", "--__keep_temp__", "--INSTALL_MODE", "NONRPM", "--NONRPM_DB_DIR",
             m_dir.file("db"), "--LUMO_INSTALL_DIR", "/srv/suite"},
            r.steps, {80, 24, 30, cwd});
        EXPECT_EQ(0, run.status) << run.screen;
        EXPECT_EQ(r.selected, lumo_test::logged_value(lumo_test::engine_logs(cwd), "D_SEL")) << run.screen;
    }
}

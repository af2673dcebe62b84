// One node of the product tree: a product (a node with components) or a component (a leaf).
// Everything that decides whether a node is offered, selected, installed, removed or counted in a
// size lives here; selection and installed state roll up from the leaves to their product.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ContentsProvider;
class ProductXML;
class ThirdPartyComponentDescription;
struct session_t;

constexpr int lumo_mode_install = 0;
constexpr int lumo_mode_uninstall = 1;
constexpr int lumo_mode_modify = 2;
constexpr int lumo_mode_repair = 3;

// LUMO_MODE as a number: "" and anything unknown 0, "uninstall" 1, "modify" 2, "repair" 3.
int get_lumo_mode(session_t* session);
bool is_online_installer_mode(session_t* session);
// The per-user or system folder the engine's own records live under, always ending in '/'
// (or "" for an unknown LUMO_PLATFORM). Without HOME the error line is logged and "/tmp/" used.
std::string base_user_dir(session_t* session);

// What every component of one product set shares. The back-ends live above the product model, so
// the product-list actions hand their calls down here; until they do, no component has a back-end
// and every package counts as not installed.
struct component_context_t {
    ContentsProvider* (*create_provider)(session_t* session, const std::string& type) = nullptr;
    // Whether the provider finds the package (id, file, version) installed.
    bool (*find_installed)(ContentsProvider* provider, const std::string& id, const std::string& file,
                           const std::string& version) = nullptr;
    // File count and byte size of a third party description; filled in by the downloads.
    int (*third_party_count)(const ThirdPartyComponentDescription* description) = nullptr;
    int64_t (*third_party_size)(const ThirdPartyComponentDescription* description) = nullptr;
    // The disk-space requests, recomputed whenever the selection is rebuilt.
    int (*calculate_disk_space)(session_t* session) = nullptr;
    // The online product description, null outside online mode. Not owned.
    const ProductXML* product_xml = nullptr;
    // Every back-end that some component uses, once each, in order of first use.
    std::vector<ContentsProvider*> providers;
};

// While one lives, Component::isSkipped answers each node from the first evaluation: bulk walks
// (sizes, propagation) that change no property and no file would otherwise probe the file system
// and re-read the same properties for every path that reaches a node.
class SkipCache {
public:
    SkipCache();
    ~SkipCache();
    SkipCache(const SkipCache&) = delete;
    SkipCache& operator=(const SkipCache&) = delete;
};

class Component {
public:
    Component() = default;
    explicit Component(session_t* session) : m_session(session) {}
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    bool isProduct() const { return !m_subcomponents.empty(); }
    // A leaf's own flag; a product is selected when one of its non-skipped components is.
    bool getSelected() const;
    // A leaf's own flag; a product is installed when it has non-skipped components, all installed.
    bool getInstalled() const;
    // Leaves only: on a product both log that they cannot set the value and change nothing.
    void setSelected(bool selected);
    void setInstalled(bool installed);
    // Takes ownership; the child's parent becomes this node.
    void addSubcomponent(std::unique_ptr<Component> component);
    const std::vector<Component*>& subcomponents() const { return m_subcomponents; }
    Component* getSubcomponentByDynId(int id) const;
    Component* getSubcomponentByDepId(int id) const;
    // Stores the payload type and asks the context for its back-end; null or "" is ignored.
    void setType(const char* type);
    ContentsProvider* provider() const { return m_provider; }
    const std::string& getProxyURL() const { return m_proxyURL; }
    void setProxyURL(const std::string& url) { m_proxyURL = url; }
    ThirdPartyComponentDescription* getThirdPartyComponentDescription() const { return m_thirdPartyComponentDescription; }
    void setThirdPartyComponentDescription(ThirdPartyComponentDescription* d) { m_thirdPartyComponentDescription = d; }
    bool isThirdPartyComponent() const { return !m_proxyURL.empty(); }
    int thirdPartyFilesToDownloadCount() const;
    int64_t thirdPartyFilesToDownloadSize() const;

    int countNotSkippedComponents() const;
    int countVisibleSubcomponents() const;
    int countVisibleInstalledSubcomponents() const;
    // Visible, non-skipped children that are selected; in modify mode (2) with target 0, those
    // that are not.
    int countSelectedSubcomponents(int mode, int target_to_install) const;
    void selectUnselectProductMandatoryComponents(int select);
    bool isAtLeastOneProductComponentAvailable() const;

    // Whether the node runs on this machine; a node refused here is not built.
    bool checkComponent() const;
    // Every skip rule is evaluated afresh (or once per SkipCache); each rule that fires logs.
    bool isSkipped() const;
    // Whether the node takes part in the install / uninstall step of the current mode.
    bool installCondition() const;
    // The same for a mode and rollback state the caller has read already.
    bool installConditionIn(int mode, bool rollback) const;
    bool uninstallCondition() const;
    // Bit 0: full install, bit 1: full uninstall, over this product's children.
    int checkFullInstallOrUninstall() const;
    bool isFullInstall() const { return (checkFullInstallOrUninstall() & 1) != 0; }
    bool isFullUninstall() const { return (checkFullInstallOrUninstall() & 2) != 0; }
    // Megabytes (bytes for the download form) that installing this node brings, with the
    // dependencies the selection installs along; each node counted once.
    int64_t getSizeWithDependencies() const;
    int64_t getDownloadSizeWithDependencies() const;
    void setAllComponentsTmpValue(int value);
    // "%4dMB", "%4.1fGB" or "%4.1fTB" of a size in megabytes.
    static std::string getUserFriendlySizeString(int64_t megabytes);
    // Bit 0: progress lines on the console, bit 1: progress for the graphical front end.
    int getVerboseMode() const;
    // The shared-component reference database: the clients that hold this component. Both are 0
    // for a component that is not shared. addRef: 0, or -1 (logged) when the database cannot be
    // read or rewritten. release: the clients left, 0 only when none is and the caller may remove
    // the component; a database that cannot be read or rewritten counts as still in use (1).
    int addRef();
    int release();
    // The text naming this node in LUMO_MEDIA_<id>_* properties: the abbreviation, else the id.
    std::string mediaId() const;

    bool m_selected = false;
    bool m_installed = false;
    ContentsProvider* m_provider = nullptr;
    std::string m_type;
    std::string m_proxyURL;
    ThirdPartyComponentDescription* m_thirdPartyComponentDescription = nullptr;
    int32_t m_id = 0;
    int32_t m_dynId = 0;
    int32_t m_depId = 0;
    std::string m_depend;
    std::string m_versionCondition;
    std::string m_platform;
    std::string m_name;
    std::string m_description;
    std::string m_archGroup;
    std::string m_rpmProductCode;
    std::string m_rpmProductRelease;
    std::string m_nonrpmProductCode;
    std::string m_version;
    std::string m_abbr;
    std::string m_rpmFileDir;
    int32_t m_installSize = 0;
    int64_t m_downloadSize = 0;
    int64_t m_sizeWithDependencies = 0;
    int32_t m_tmpValue = 0;
    int32_t m_mandatory = 0;
    int32_t m_invisible = 0;
    int32_t m_downloadFailed = 0;
    bool m_defaultSelected = false;
    std::string m_shared;
    bool m_core = false;
    Component* m_parent = nullptr;
    std::string m_installDir;
    std::string m_installSubdir;
    std::map<std::string, std::map<std::string, std::string>> m_layers;
    std::vector<Component*> m_subcomponents;
    std::vector<std::vector<Component*>> m_dependencies;
    // The components whose dependency groups name this one, in product-set order: filled when the
    // dependencies are resolved, so an unselection looks only at those that can lose something.
    std::vector<Component*> m_dependents;
    session_t* m_session = nullptr;
    component_context_t* m_context = nullptr;

private:
    int64_t sizeWalk(bool download) const;
    std::string sharedKey() const;
    std::string sharedDbFile() const;

    std::vector<std::unique_ptr<Component>> m_owned;
    mutable uint64_t m_skipGeneration = 0;
    mutable uint64_t m_visitMark = 0;
    mutable bool m_skipValue = false;
};

// The name laid out in lines of (console width - reserved) columns, the size text padded to the
// reserved width after the first line; UTF-8 sequences count as one column.
std::string get_component_name_with_size(const std::string& name, const std::string& size, int reserved);

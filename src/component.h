// One node of the product tree: a product (a node with components) or a component (a leaf).
// Selection and installed state roll up from the leaves to their product.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Component {
public:
    Component() = default;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    bool isProduct() const { return !m_subcomponents.empty(); }
    // A leaf's own flag; a product is selected when one of its non-skipped components is.
    bool getSelected() const;
    // A leaf's own flag; a product is installed when it has non-skipped components, all installed.
    bool getInstalled() const;
    // Leaves only: a product keeps its roll-up and logs that it cannot be set.
    void setSelected(bool selected);
    bool isSkipped() const;
    // The text that names this node in the LUMO_MEDIA_<id>_* properties: the abbreviation when
    // there is one, else the decimal id (before the letter form is taken).
    std::string mediaId() const;
    // Takes ownership of a component of this product.
    void addSubcomponent(std::unique_ptr<Component> component);
    const std::vector<Component*>& subcomponents() const { return m_subcomponents; }

    bool m_selected = false;
    bool m_installed = false;
    bool m_skipped = false;  // set by the rules that decide a node is not offered in this run
    int32_t m_id = 0;
    std::string m_name;
    std::string m_abbr;
    Component* m_parent = nullptr;
    std::vector<Component*> m_subcomponents;

private:
    std::vector<std::unique_ptr<Component>> m_owned;
};

#include "component.h"

#include "log.h"

bool Component::getSelected() const {
    if (!isProduct()) return m_selected;
    for (const Component* child : m_subcomponents) {
        if (!child->isSkipped() && child->getSelected()) return true;
    }
    return false;
}

bool Component::getInstalled() const {
    if (!isProduct()) return m_installed;
    bool any = false;
    for (const Component* child : m_subcomponents) {
        if (child->isSkipped()) continue;
        if (!child->getInstalled()) return false;
        any = true;
    }
    return any;
}

void Component::setSelected(bool selected) {
    if (isProduct()) {
        print_log("Component::setSelected: cannot set value for product '%s'", m_name.c_str());
        return;
    }
    m_selected = selected;
    print_log("Component::setSelected: component with name '%s' is %s.", m_name.c_str(),
              selected ? "selected" : "not selected");
}

bool Component::isSkipped() const { return m_skipped; }

std::string Component::mediaId() const { return m_abbr.empty() ? std::to_string(m_id) : m_abbr; }

void Component::addSubcomponent(std::unique_ptr<Component> component) {
    if (!component) return;
    component->m_parent = this;
    m_subcomponents.push_back(component.get());
    m_owned.push_back(std::move(component));
}

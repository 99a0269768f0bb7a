#pragma once
// Activity: one entry of the host's user-visible activity feed.

#include <string>

namespace Orvana {
namespace Data {

class Activity {
public:
    Activity(int level, int source, const std::string& text)
        : m_level(level), m_source(source), m_text(text) {}
    int getLevel() const { return m_level; }
    int getSource() const { return m_source; }
    const std::string& getText() const { return m_text; }

private:
    int m_level;
    int m_source;
    std::string m_text;
};

}  // namespace Data
}  // namespace Orvana

// Objects whose methods can be called by name at run time. Each class keeps
// one table from method names to functions; callers look a name up there
// instead of sending a message by selector.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class NRVInvocationTarget {
public:
    // A method takes its object and a pointer to its one argument value.
    using Method = std::function<void(NRVInvocationTarget& self, const void* argument)>;

    class SelectorTable {
    public:
        SelectorTable(std::initializer_list<std::pair<std::string, Method>> methods) : methods_(methods) {}
        // nullptr when the class has no method of that name.
        const Method* find(std::string_view selector) const;

    private:
        std::vector<std::pair<std::string, Method>> methods_;
    };

    virtual ~NRVInvocationTarget() = default;
    // The table of the object's class.
    virtual const SelectorTable& selectorTable() const = 0;
};

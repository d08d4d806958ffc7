#include "orvak/instrument_group.hpp"

#include "orvak/pytext.hpp"

namespace orvak {

std::string group_repr(long long group_number, const std::vector<std::string>& names) {
    std::string listed;
    for (const auto& name : names) {
        if (!listed.empty()) listed += ", ";
        listed += text::repr(name);
    }
    return "InstrumentGroup(group=" + text::integer(group_number) + ", instruments=[" + listed +
           "])";
}

std::size_t group_index(long long index, std::size_t size) {
    const auto count = static_cast<long long>(size);
    const long long at = index < 0 ? index + count : index;
    if (at < 0 || at >= count) throw IndexOutOfRange("list index out of range");
    return static_cast<std::size_t>(at);
}

InstrumentGroup::InstrumentGroup(const std::vector<registry::Identifier>& identifiers,
                                 const DriverFactory& factory, long long group_number)
    : group_number_(group_number) {
    inst_.reserve(identifiers.size());
    for (const auto& identifier : identifiers) {
        const auto& row = registry::resolve(identifier);
        inst_.push_back(factory(row, static_cast<int>(inst_.size())));
    }
}

Instrument& InstrumentGroup::operator[](long long index) const {
    return *inst_[group_index(index, inst_.size())];
}

std::string InstrumentGroup::repr() const {
    std::vector<std::string> names;
    names.reserve(inst_.size());
    for (const auto& driver : inst_) names.push_back(driver->name);
    return group_repr(group_number_, names);
}

void InstrumentGroup::attach(const std::shared_ptr<Link>& link) {
    for (const auto& driver : inst_) driver->attach(link);
}

std::vector<std::shared_ptr<ReplySlots>> InstrumentGroup::reply_slots() const {
    std::vector<std::shared_ptr<ReplySlots>> slots;
    slots.reserve(inst_.size());
    for (const auto& driver : inst_) slots.push_back(driver->slots());
    return slots;
}

void InstrumentGroup::stop_all(LogSink& log) {
    for (const auto& driver : inst_) {
        try {
            driver->stop();
        } catch (const Interrupted&) {
            throw;
        } catch (const std::exception&) {
            log.log(LogLevel::warning, "stop() failed for %s", {driver->name},
                    std::current_exception());
        }
    }
}

}  // namespace orvak

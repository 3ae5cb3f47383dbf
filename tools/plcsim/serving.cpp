// A station answering a request as a P200 does: reads and writes of its four
// tables, offered first to its hooks, and the exceptions it refuses with.
#include "plcsim/parts.h"

#include <cstring>
#include <functional>
#include <stdexcept>

namespace plcsim {
namespace {

constexpr std::uint8_t kExceptionFlag = 0x80;

constexpr unsigned kMaxReadBits = 2000;

constexpr unsigned kMaxReadWords = 125;

constexpr unsigned kMaxWriteWords = 123;

std::uint16_t WordAt(const std::vector<std::uint8_t>& frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

void PushWord(std::vector<std::uint8_t>& frame, std::uint16_t value) {
    frame.push_back(static_cast<std::uint8_t>(value >> 8));
    frame.push_back(static_cast<std::uint8_t>(value));
}

std::vector<std::uint8_t> ExceptionReply(std::uint8_t station, std::uint8_t function,
                                         std::uint8_t code) {
    std::vector<std::uint8_t> reply{station, static_cast<std::uint8_t>(function | kExceptionFlag),
                                    code};
    AppendCrc(reply);
    return reply;
}

bool IsBitTable(Table table) {
    return table == Table::Bits || table == Table::InputBits;
}

// What a station makes of a request: the reply's bytes before the CRC, or
// the exception it answers with instead.
struct Answer {
    std::vector<std::uint8_t> bytes;
    std::uint8_t exception = 0;
};

Answer Refused(std::uint8_t code) {
    return {{}, code};
}

// Offers an access to the station's hooks in turn until one takes it.
HookResult OfferToHooks(Station& station, const std::function<HookResult(RegisterHook&)>& offer) {
    for (const auto& hook : station.hooks()) {
        const HookResult result = offer(*hook);
        if (result.action != HookResult::Action::Pass) {
            return result;
        }
    }
    return HookResult::Pass();
}

// Functions 1 to 4.
Answer ServeRead(Station& station, const std::vector<std::uint8_t>& frame) {
    static constexpr Table kTableOf[] = {Table::Bits, Table::InputBits, Table::Words,
                                         Table::InputWords};
    const Table table = kTableOf[frame[1] - 1];
    const std::uint16_t start = WordAt(frame, 2);
    const unsigned quantity = WordAt(frame, 4);
    const bool bits = IsBitTable(table);
    if (quantity < 1 || quantity > (bits ? kMaxReadBits : kMaxReadWords)) {
        return Refused(kIllegalValue);
    }
    if (start + quantity > kTableSize) {
        return Refused(kIllegalAddress);
    }
    std::vector<std::uint16_t> values(quantity);
    for (unsigned i = 0; i < quantity; ++i) {
        values[i] = station.get(table, static_cast<std::uint16_t>(start + i));
    }
    if (table == Table::Words) {
        const HookResult hooked = OfferToHooks(station, [&](RegisterHook& hook) {
            return hook.readRegisters(station, start, values);
        });
        if (hooked.action == HookResult::Action::Exception) {
            return Refused(hooked.exceptionCode);
        }
    }
    Answer answer{{frame[0], frame[1]}};
    if (bits) {
        std::vector<std::uint8_t> packed((quantity + 7) / 8);
        for (unsigned i = 0; i < quantity; ++i) {
            if (values[i] != 0) {
                packed[i / 8] = static_cast<std::uint8_t>(packed[i / 8] | 1u << (i % 8));
            }
        }
        answer.bytes.push_back(static_cast<std::uint8_t>(packed.size()));
        answer.bytes.insert(answer.bytes.end(), packed.begin(), packed.end());
    } else {
        answer.bytes.push_back(static_cast<std::uint8_t>(2 * quantity));
        for (const std::uint16_t value : values) {
            PushWord(answer.bytes, value);
        }
    }
    return answer;
}

// A write is acknowledged by echoing the request's first six bytes.
Answer Echo(const std::vector<std::uint8_t>& frame) {
    return {{frame.begin(), frame.begin() + 6}};
}

// Function 5.
Answer ServeWriteBit(Station& station, const std::vector<std::uint8_t>& frame) {
    const std::uint16_t value = WordAt(frame, 4);
    if (value != 0x0000 && value != 0xFF00) {
        return Refused(kIllegalValue);
    }
    station.set(Table::Bits, WordAt(frame, 2), value != 0 ? 1 : 0);
    return Echo(frame);
}

// Functions 6 and 16.
Answer ServeWriteWords(Station& station, const std::vector<std::uint8_t>& frame) {
    const std::uint8_t function = frame[1];
    const std::uint16_t start = WordAt(frame, 2);
    std::vector<std::uint16_t> values;
    if (function == 6) {
        values.push_back(WordAt(frame, 4));
    } else {
        const unsigned quantity = WordAt(frame, 4);
        if (quantity < 1 || quantity > kMaxWriteWords || frame[6] != 2 * quantity) {
            return Refused(kIllegalValue);
        }
        if (start + quantity > kTableSize) {
            return Refused(kIllegalAddress);
        }
        for (unsigned i = 0; i < quantity; ++i) {
            values.push_back(WordAt(frame, kWriteWordsHeader + 2 * i));
        }
    }
    const HookResult hooked = OfferToHooks(station, [&](RegisterHook& hook) {
        return hook.writeRegisters(station, function, start, values);
    });
    if (hooked.action == HookResult::Action::Exception) {
        return Refused(hooked.exceptionCode);
    }
    if (hooked.action == HookResult::Action::Pass) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            station.set(Table::Words, static_cast<std::uint16_t>(start + i), values[i]);
        }
    }
    return Echo(frame);
}

Answer Serve(Station& station, const std::vector<std::uint8_t>& frame) {
    switch (frame[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
        return ServeRead(station, frame);
    case 5:
        return ServeWriteBit(station, frame);
    case 6:
    case 16:
        return ServeWriteWords(station, frame);
    default:
        return Refused(kIllegalFunction);
    }
}

void CheckRange(std::uint16_t start, std::size_t count) {
    if (start + count > kTableSize) {
        throw std::out_of_range("range past the end of the table");
    }
}

} // namespace

HookResult RegisterHook::readRegisters(Station&, std::uint16_t, std::span<std::uint16_t>) {
    return HookResult::Pass();
}

HookResult RegisterHook::writeRegisters(Station&, std::uint8_t, std::uint16_t,
                                        std::span<const std::uint16_t>) {
    return HookResult::Pass();
}

Station::Station(std::uint8_t address, Model model) : address_(address), model_(model) {
    for (auto& table : tables_) {
        table.resize(kTableSize);
    }
}

std::uint16_t Station::get(Table table, std::uint16_t address) const {
    return tables_[static_cast<std::size_t>(table)][address];
}

void Station::set(Table table, std::uint16_t address, std::uint16_t value) {
    tables_[static_cast<std::size_t>(table)][address] = IsBitTable(table) && value != 0 ? 1 : value;
}

void Simulator::addStation(std::uint8_t address, Model model) {
    const std::lock_guard lock(mutex_);
    stations_[address] = std::make_unique<Station>(address, model);
}

bool Simulator::hasStation(std::uint8_t address) const {
    const std::lock_guard lock(mutex_);
    return stations_.contains(address);
}

void Simulator::addHook(std::uint8_t address, std::shared_ptr<RegisterHook> hook) {
    const std::lock_guard lock(mutex_);
    station(address).addHook(std::move(hook));
}

Station& Simulator::station(std::uint8_t address) const {
    const auto found = stations_.find(address);
    if (found == stations_.end()) {
        throw std::out_of_range("no station " + std::to_string(address));
    }
    return *found->second;
}

void Simulator::set(std::uint8_t address, Table table, std::uint16_t start,
                    const std::vector<std::uint16_t>& values) {
    CheckRange(start, values.size());
    const std::lock_guard lock(mutex_);
    Station& target = station(address);
    for (std::size_t i = 0; i < values.size(); ++i) {
        target.set(table, static_cast<std::uint16_t>(start + i), values[i]);
    }
}

std::vector<std::uint16_t> Simulator::get(std::uint8_t address, Table table, std::uint16_t start,
                                          std::size_t count) const {
    CheckRange(start, count);
    const std::lock_guard lock(mutex_);
    const Station& source = station(address);
    std::vector<std::uint16_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = source.get(table, static_cast<std::uint16_t>(start + i));
    }
    return values;
}

std::uint16_t Simulator::get(std::uint8_t address, Table table, std::uint16_t at) const {
    return get(address, table, at, 1)[0];
}

void Simulator::setLong(std::uint8_t address, Table table, std::uint16_t start,
                        std::uint32_t value) {
    set(address, table, start,
        {static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)});
}

void Simulator::setFloat(std::uint8_t address, Table table, std::uint16_t start, float value) {
    std::uint32_t pattern = 0;
    std::memcpy(&pattern, &value, sizeof pattern);
    setLong(address, table, start, pattern);
}

void Simulator::withStation(std::uint8_t address, const std::function<void(Station&)>& action) {
    const std::lock_guard lock(mutex_);
    action(station(address));
}

Simulator::Reply Simulator::answer(const std::vector<std::uint8_t>& frame) {
    const std::uint8_t address = frame[0];
    const std::uint8_t function = frame[1];
    const auto found = stations_.find(address);
    if (found == stations_.end()) {
        return {}; // another station's request: not ours to answer
    }
    // A frame of a known function that silence cut short is not a request.
    const auto expected = RequestLength(frame);
    if ((function >= 1 && function <= 6) || function == 16) {
        if (!expected || *expected != frame.size()) {
            return {};
        }
    }

    const std::optional<Fault> fault = TakeFault(faults_[address]);
    // An exception fault stands in for the request: a write is not carried out.
    const Answer served = fault && fault->kind == Fault::Kind::Exception
                              ? Refused(fault->exceptionCode)
                              : Serve(*found->second, frame);
    Reply reply;
    if (served.exception != 0) {
        reply.bytes = ExceptionReply(address, function, served.exception);
    } else {
        reply.bytes = served.bytes;
        AppendCrc(reply.bytes);
    }
    if (fault) {
        ApplyFault(*fault, reply);
    }
    return reply;
}

} // namespace plcsim

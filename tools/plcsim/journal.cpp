#include "plcsim/journal.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace plcsim {
namespace {

constexpr std::size_t kTableWordsP200 = 52;
constexpr std::size_t kTableWordsP200X = 120;
constexpr int kStampBaseYear = 1990;

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

// The clock registers as the PLC shows them: day, month, years since 1900,
// hours, minutes, seconds, 0, day of the week, each register high byte first.
std::vector<std::uint8_t> ClockBytes(const std::tm& local) {
    return {static_cast<std::uint8_t>(local.tm_mday),
            static_cast<std::uint8_t>(local.tm_mon + 1),
            static_cast<std::uint8_t>(local.tm_year),
            static_cast<std::uint8_t>(local.tm_hour),
            static_cast<std::uint8_t>(local.tm_min),
            static_cast<std::uint8_t>(local.tm_sec),
            0,
            static_cast<std::uint8_t>(local.tm_wday)};
}

} // namespace

Stamp StampOf(const std::tm& local) {
    const int year = (local.tm_year + 1900 - kStampBaseYear) & 0x0F;
    Stamp stamp;
    stamp.date = static_cast<std::uint16_t>(year | (((local.tm_mon + 1) & 0x0F) << 4) |
                                            ((local.tm_mday & 0x1F) << 8));
    stamp.time =
        static_cast<std::uint16_t>(((local.tm_sec / 2) & 0x1F) | ((local.tm_min & 0x3F) << 5) |
                                   ((local.tm_hour & 0x1F) << 11));
    return stamp;
}

void ValueWords(Model model, std::uint32_t value, std::uint16_t* words) {
    if (model == Model::P200X) {
        words[0] = static_cast<std::uint16_t>(value >> 16);
        words[1] = static_cast<std::uint16_t>(value & 0xFFFF);
        return;
    }
    // b0 b1 b2 carry the 24 bits, b3 stays 0.
    words[0] = static_cast<std::uint16_t>((value >> 8) & 0xFFFF);
    words[1] = static_cast<std::uint16_t>((value & 0xFF) << 8);
}

StationJournal::StationJournal(Model model)
    : model_(model),
      table_(model == Model::P200X ? kTableWordsP200X : kTableWordsP200, kEmptyTableSlot),
      clockSetting_(std::time(nullptr)), clockSetAt_(std::chrono::steady_clock::now()) {}

StationJournal::~StationJournal() {
    stopGenerating();
}

std::tm StationJournal::nowLocked() const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - clockSetAt_);
    return LocalTime(clockSetting_ + static_cast<std::time_t>((elapsed + clockAdvance_).count()));
}

void StationJournal::setClock(const std::tm& local) {
    std::tm setting = local;
    setting.tm_isdst = -1;
    std::lock_guard lock(mutex_);
    clockSetting_ = std::mktime(&setting);
    clockSetAt_ = std::chrono::steady_clock::now();
    clockAdvance_ = std::chrono::seconds{0};
}

void StationJournal::advanceClock(std::chrono::seconds seconds) {
    std::lock_guard lock(mutex_);
    clockAdvance_ += seconds;
}

std::tm StationJournal::clockNow() const {
    std::lock_guard lock(mutex_);
    return nowLocked();
}

std::vector<std::vector<std::uint8_t>> StationJournal::clockFrames() const {
    std::lock_guard lock(mutex_);
    return clockFrames_;
}

StationJournal::File* StationJournal::find(std::uint16_t number) {
    for (auto& file : files_) {
        if (file.layout.number == number) {
            return &file;
        }
    }
    return nullptr;
}

const StationJournal::File* StationJournal::find(std::uint16_t number) const {
    return const_cast<StationJournal*>(this)->find(number);
}

void StationJournal::addFile(const FileLayout& layout) {
    if (layout.recordWords == 0 || layout.recordCount == 0) {
        throw std::invalid_argument("a journal file needs records of at least one word");
    }
    std::lock_guard lock(mutex_);
    File file;
    file.layout = layout;
    file.words.assign(static_cast<std::size_t>(layout.recordCount) * layout.recordWords, 0);
    file.headerOverrides.assign(kFileHeaderWords, std::nullopt);
    if (File* existing = find(layout.number)) {
        *existing = std::move(file);
        return;
    }
    files_.push_back(std::move(file));
    if (std::find(table_.begin(), table_.end(), layout.number) == table_.end()) {
        const auto freeSlot = std::find(table_.begin(), table_.end(), kEmptyTableSlot);
        if (freeSlot == table_.end()) {
            throw std::length_error("the file table is full");
        }
        *freeSlot = layout.number;
    }
}

void StationJournal::setTableEntry(std::size_t slot, std::uint16_t value) {
    std::lock_guard lock(mutex_);
    if (slot >= table_.size()) {
        throw std::invalid_argument("the file table has " + std::to_string(table_.size()) +
                                    " slots on this model");
    }
    table_[slot] = value;
}

std::vector<std::uint16_t> StationJournal::table() const {
    std::lock_guard lock(mutex_);
    return table_;
}

void StationJournal::append(File& file, const std::vector<std::uint16_t>& words) {
    const std::size_t recordWords = file.layout.recordWords;
    auto record = file.words.begin() + static_cast<std::ptrdiff_t>(file.next * recordWords);
    std::fill(record, record + static_cast<std::ptrdiff_t>(recordWords), 0);
    std::copy_n(words.begin(), std::min(words.size(), recordWords), record);
    file.next = static_cast<std::uint16_t>((file.next + 1) % file.layout.recordCount);
    file.used =
        std::min<std::uint16_t>(static_cast<std::uint16_t>(file.used + 1), file.layout.recordCount);
}

void StationJournal::appendRecord(std::uint16_t fileNumber,
                                  const std::vector<std::uint16_t>& words) {
    std::lock_guard lock(mutex_);
    File* file = find(fileNumber);
    if (file == nullptr) {
        throw std::invalid_argument("no such journal file");
    }
    append(*file, words);
}

void StationJournal::appendJournalEvent(std::uint16_t jbusAddress, std::uint32_t value,
                                        std::optional<std::tm> at) {
    std::lock_guard lock(mutex_);
    File* file = find(kJournalFileNumber);
    if (file == nullptr) {
        throw std::invalid_argument("the station has no journal");
    }
    const Stamp stamp = StampOf(at ? *at : nowLocked());
    std::vector<std::uint16_t> words{stamp.date, stamp.time, jbusAddress, 0, 0};
    ValueWords(model_, value, &words[3]);
    append(*file, words);
}

void StationJournal::appendMemoValue(std::uint16_t fileNumber, std::uint32_t value,
                                     std::optional<std::tm> at) {
    std::lock_guard lock(mutex_);
    File* file = find(fileNumber);
    if (file == nullptr || fileNumber == kJournalFileNumber) {
        throw std::invalid_argument("no such memo file");
    }
    const Stamp stamp = StampOf(at ? *at : nowLocked());
    std::vector<std::uint16_t> words{stamp.date, stamp.time, 0, 0};
    ValueWords(model_, value, &words[2]);
    append(*file, words);
}

void StationJournal::clearFile(std::uint16_t fileNumber) {
    std::lock_guard lock(mutex_);
    File* file = find(fileNumber);
    if (file == nullptr) {
        throw std::invalid_argument("no such journal file");
    }
    std::fill(file->words.begin(), file->words.end(), 0);
    file->used = 0;
    file->next = 0;
}

void StationJournal::overrideHeaderWord(std::uint16_t fileNumber, std::size_t word,
                                        std::uint16_t value) {
    std::lock_guard lock(mutex_);
    File* file = find(fileNumber);
    if (file == nullptr) {
        throw std::invalid_argument("no such journal file");
    }
    file->headerOverrides.at(word) = value;
}

std::uint16_t StationJournal::usedRecords(std::uint16_t fileNumber) const {
    std::lock_guard lock(mutex_);
    const File* file = find(fileNumber);
    return file != nullptr ? file->used : 0;
}

std::uint16_t StationJournal::nextRecord(std::uint16_t fileNumber) const {
    std::lock_guard lock(mutex_);
    const File* file = find(fileNumber);
    return file != nullptr ? file->next : 0;
}

std::uint16_t StationJournal::selectedFile() const {
    std::lock_guard lock(mutex_);
    return selected_;
}

std::vector<std::uint16_t> StationJournal::header(const File& file) const {
    std::vector<std::uint16_t> words(kFileHeaderWords, 0);
    words[0] = file.layout.number;
    words[kHeaderRecordCount] = file.layout.recordCount;
    words[kHeaderRecordWords] = file.layout.recordWords;
    words[kHeaderUsedRecords] = file.used;
    words[kHeaderNextRecord] = file.next;
    words[kHeaderFirstRecordAddress] = file.layout.firstRecordAddress;
    for (std::size_t i = 0; i < kFileHeaderWords; ++i) {
        if (file.headerOverrides[i]) {
            words[i] = *file.headerOverrides[i];
        }
    }
    return words;
}

std::optional<std::vector<std::uint16_t>> StationJournal::readWords(std::uint16_t address,
                                                                    std::uint16_t count) const {
    std::lock_guard lock(mutex_);
    // Words of `source` from `offset` on, zero beyond its end.
    auto window = [count](const std::vector<std::uint16_t>& source, std::size_t offset) {
        std::vector<std::uint16_t> words(count, 0);
        for (std::size_t i = 0; i < count && offset + i < source.size(); ++i) {
            words[i] = source[offset + i];
        }
        return words;
    };

    if (address >= kClockRegister && address < kClockRegister + kClockRegisters) {
        const std::vector<std::uint8_t> bytes = ClockBytes(nowLocked());
        std::vector<std::uint16_t> registers;
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            registers.push_back(static_cast<std::uint16_t>(bytes[i] << 8 | bytes[i + 1]));
        }
        return window(registers, address - kClockRegister);
    }
    if (address == kFileSelectRegister || address == kFileSelectRegister + 1) {
        return window({selected_, 0}, address - kFileSelectRegister);
    }
    const File* file = find(selected_);
    if (address >= kFileHeaderRegister && address < kFileHeaderRegister + kFileHeaderWords) {
        const std::vector<std::uint16_t> words =
            file != nullptr ? header(*file) : std::vector<std::uint16_t>(kFileHeaderWords, 0);
        return window(words, address - kFileHeaderRegister);
    }
    if (address >= kFileTableRegister && address < kFileTableRegister + table_.size()) {
        return window(table_, address - kFileTableRegister);
    }
    if (file != nullptr && address >= file->layout.firstRecordAddress &&
        address < file->layout.firstRecordAddress + file->layout.recordCount) {
        const std::size_t record = address - file->layout.firstRecordAddress;
        return window(file->words, record * file->layout.recordWords);
    }
    return std::nullopt;
}

bool StationJournal::writeWords(std::uint16_t address, const std::vector<std::uint16_t>& values) {
    std::lock_guard lock(mutex_);
    if (values.empty()) {
        return false;
    }
    if (address >= kClockRegister && address < kClockRegister + kClockRegisters) {
        std::vector<std::uint8_t> bytes = ClockBytes(nowLocked());
        for (std::size_t i = 0; i < values.size() && address - kClockRegister + i < kClockRegisters;
             ++i) {
            const std::size_t at = (address - kClockRegister + i) * 2;
            bytes[at] = static_cast<std::uint8_t>(values[i] >> 8);
            bytes[at + 1] = static_cast<std::uint8_t>(values[i] & 0xFF);
        }
        clockFrames_.push_back(bytes);
        std::tm setting{};
        setting.tm_mday = bytes[0];
        setting.tm_mon = bytes[1] - 1;
        setting.tm_year = bytes[2];
        setting.tm_hour = bytes[3];
        setting.tm_min = bytes[4];
        setting.tm_sec = bytes[5];
        setting.tm_isdst = -1;
        clockSetting_ = std::mktime(&setting);
        clockSetAt_ = std::chrono::steady_clock::now();
        clockAdvance_ = std::chrono::seconds{0};
        return true;
    }
    if (address == kFileSelectRegister) {
        selected_ = values[0];
        return true;
    }
    return false;
}

HookResult StationJournal::readRegisters(Station&, std::uint16_t start,
                                         std::span<std::uint16_t> values) {
    const auto words = readWords(start, static_cast<std::uint16_t>(values.size()));
    if (!words) {
        return HookResult::Pass();
    }
    std::copy(words->begin(), words->end(), values.begin());
    return HookResult::Handled();
}

HookResult StationJournal::writeRegisters(Station& station, std::uint8_t, std::uint16_t start,
                                          std::span<const std::uint16_t> values) {
    if (!writeWords(start, std::vector<std::uint16_t>(values.begin(), values.end()))) {
        return HookResult::Pass();
    }
    // Plain memory keeps what was written too, for anyone who looks there.
    for (std::size_t i = 0; i < values.size() && start + i < kTableSize; ++i) {
        station.set(Table::Words, static_cast<std::uint16_t>(start + i), values[i]);
    }
    return HookResult::Handled();
}

void StationJournal::generate(std::uint16_t fileNumber, std::uint16_t jbusAddress,
                              std::chrono::milliseconds period, std::uint32_t firstValue) {
    {
        std::lock_guard lock(mutex_);
        if (find(fileNumber) == nullptr) {
            throw std::invalid_argument("no journal file " + std::to_string(fileNumber));
        }
    }
    if (period.count() <= 0) {
        throw std::invalid_argument("a generator needs a period above 0 ms");
    }
    std::lock_guard lock(generatorMutex_);
    stopping_ = false;
    generators_.emplace_back([this, fileNumber, jbusAddress, period, firstValue] {
        std::uint32_t value = firstValue;
        auto due = std::chrono::steady_clock::now() + period;
        std::unique_lock wait(generatorMutex_);
        while (!generatorWake_.wait_until(wait, due, [this] { return stopping_; })) {
            wait.unlock();
            if (fileNumber == kJournalFileNumber) {
                appendJournalEvent(jbusAddress, value);
            } else {
                appendMemoValue(fileNumber, value);
            }
            ++value;
            due += period;
            wait.lock();
        }
    });
}

void StationJournal::stopGenerating() {
    std::vector<std::thread> running;
    {
        std::lock_guard lock(generatorMutex_);
        stopping_ = true;
        running.swap(generators_);
    }
    generatorWake_.notify_all();
    for (auto& thread : running) {
        thread.join();
    }
}

std::shared_ptr<StationJournal> JournalOf(Simulator& simulator, std::uint8_t station) {
    std::shared_ptr<StationJournal> journal;
    simulator.withStation(station, [&](Station& target) {
        for (const auto& hook : target.hooks()) {
            if (auto found = std::dynamic_pointer_cast<StationJournal>(hook)) {
                journal = std::move(found);
                return;
            }
        }
        journal = std::make_shared<StationJournal>(target.model());
        target.addHook(journal);
    });
    return journal;
}

} // namespace plcsim

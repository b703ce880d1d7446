#include "support/KeyReaderModels.h"

#include <cstdlib>

namespace {

bool ParseHex(const std::string& text, size_t digits, uint64_t& value)
{
    if (text.size() != digits || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 16);
    return true;
}

bool ParseDecimal(const std::string& text, unsigned long& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return true;
}

bool TakeOption(const std::string& word, const char* name, std::string& value)
{
    const std::string prefix = std::string(name) + "=";
    if (word.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = word.substr(prefix.size());
    return true;
}

void AppendStuffed(std::vector<uint8_t>& out, uint8_t b)
{
    if (b >= 0xFD) {
        out.push_back(0xFF);
        out.push_back(static_cast<uint8_t>(0xFF - b));
    } else {
        out.push_back(b);
    }
}

} // namespace

uint8_t ModelCrc8(const uint8_t* bytes, size_t count)
{
    // Bit by bit through the shift register of the 1-Wire devices: feedback into bits 3 and 4.
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const int in = ((bytes[i] >> bit) ^ crc) & 1;
            crc >>= 1;
            if (in)
                crc ^= 0x8C;
        }
    }
    return crc;
}

uint16_t ModelCrc16(const uint8_t* bytes, size_t count)
{
    // The byte-wise CCITT update of the reflected register.
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        uint8_t d = static_cast<uint8_t>(bytes[i] ^ (crc & 0xFF));
        d = static_cast<uint8_t>(d ^ (d << 4));
        crc = static_cast<uint16_t>(((static_cast<uint16_t>(d) << 8) | (crc >> 8)) ^ (d >> 4) ^
                                    (static_cast<uint16_t>(d) << 3));
    }
    return static_cast<uint16_t>(~crc);
}

// ---- ASCII-line reader ----

void CAsciiKeyModel::OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer)
{
    if (byte != 0xF0 || line.baudRate != 9600) {
        answer.push_back(byte);
        return;
    }
    if (m_noKey)
        return;
    if (m_noise) {
        const unsigned n = m_random() % 30;
        for (unsigned i = 0; i < n; ++i)
            answer.push_back(static_cast<uint8_t>(m_random()));
        return;
    }
    std::string text = ":00" + m_digits + "\r\n";
    text.resize(static_cast<size_t>(m_length), '.');
    answer.insert(answer.end(), text.begin(), text.end());
}

// ---- 1-Wire adapter with a key ----

void COneWireModel::OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer)
{
    if (line.baudRate <= 9600) {
        if (byte != 0xF0) {
            answer.push_back(byte);
            return;
        }
        ++m_resets;
        m_slot = 0;
        m_command = 0;
        answer.push_back(m_low ? 0x00 : m_noKey ? 0xF0 : 0xE0);
        return;
    }
    if (m_slot < 0 || m_noKey || m_low) {
        answer.push_back(byte);
        return;
    }
    if (m_slot < 8) {
        if (byte == 0xFF)
            m_command = static_cast<uint8_t>(m_command | (1u << m_slot));
        ++m_slot;
        if (m_slot == 8 && m_command == 0x33)
            ++m_romReads;
        answer.push_back(byte);
        return;
    }
    const int bit = m_slot - 8;
    if (m_command != 0x33 || bit >= 64 || byte != 0xFF) {
        answer.push_back(byte);
        ++m_slot;
        return;
    }
    ++m_slot;
    if (m_noise) {
        answer.push_back(static_cast<uint8_t>(m_random()));
        return;
    }
    const bool one = (m_rom[bit / 8] >> (bit % 8)) & 1;
    answer.push_back(one ? 0xFF : 0xFE);
}

// ---- packet reader ----

void CPacketKeyModel::OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer)
{
    if (line.baudRate != 115200) {
        if (byte != 0xF0)
            answer.push_back(byte);
        return;
    }
    answer.push_back(byte);
    if (byte == 0xFD) {
        m_inFrame = true;
        m_frame.clear();
        return;
    }
    if (!m_inFrame)
        return;
    if (byte != 0xFE) {
        m_frame.push_back(byte);
        return;
    }
    m_inFrame = false;
    OnFrame(answer);
}

void CPacketKeyModel::OnFrame(std::vector<uint8_t>& answer)
{
    std::vector<uint8_t> body;
    for (size_t i = 0; i < m_frame.size(); ++i) {
        if (m_frame[i] == 0xFF) {
            if (i + 1 >= m_frame.size() || m_frame[i + 1] > 2)
                return;  // broken stuffing: the frame is dropped
            body.push_back(static_cast<uint8_t>(0xFF - m_frame[++i]));
        } else {
            body.push_back(m_frame[i]);
        }
    }
    if (body.size() < 4)
        return;
    const uint16_t crc = ModelCrc16(body.data(), body.size() - 2);
    if (body[body.size() - 2] != (crc & 0xFF) || body[body.size() - 1] != (crc >> 8))
        return;
    m_lastSequences.push_back(body[0]);
    if (body[1] == 0x21) {
        ++m_acknowledges;
        return;
    }
    if (body[1] != 0x45)
        return;
    ++m_readRequests;
    if (m_noKey)
        return;
    if (m_noise) {
        const unsigned n = m_random() % 24;
        for (unsigned i = 0; i < n; ++i)
            answer.push_back(static_cast<uint8_t>(m_random()));
        return;
    }
    std::vector<uint8_t> reply = {static_cast<uint8_t>(body[0] + (m_wrongSequence ? 1 : 0)), 0x45, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        reply.push_back(static_cast<uint8_t>(m_number >> (8 * i)));
    reply.push_back(0x00);
    uint16_t replyCrc = ModelCrc16(reply.data(), reply.size());
    if (m_badCrc)
        replyCrc ^= 0x0100;
    reply.push_back(static_cast<uint8_t>(replyCrc & 0xFF));
    reply.push_back(static_cast<uint8_t>(replyCrc >> 8));
    std::vector<uint8_t> frame = {0xFD};
    for (uint8_t b : reply)
        AppendStuffed(frame, b);
    frame.push_back(0xFE);
    if (m_short)
        frame.resize(9);
    answer.insert(answer.end(), frame.begin(), frame.end());
}

// ---- by name ----

std::unique_ptr<CDeviceModel> MakeKeyReaderModel(const std::vector<std::string>& words, std::string& error)
{
    const std::string& kind = words[0];
    std::string value;
    uint64_t number = 0;
    unsigned long decimal = 0;
    auto noise = [&](const std::string& w, bool& flag, std::mt19937& random) {
        if (!TakeOption(w, "noise", value))
            return false;
        if (!ParseDecimal(value, decimal))
            return false;
        flag = true;
        random.seed(static_cast<uint32_t>(decimal));
        return true;
    };
    if (kind == "asciikey") {
        auto model = std::make_unique<CAsciiKeyModel>();
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& w = words[i];
            if (TakeOption(w, "number", value) && value.size() == 8) {
                model->m_digits = value;
            } else if (TakeOption(w, "length", value) && ParseDecimal(value, decimal) && decimal <= 64) {
                model->m_length = static_cast<int>(decimal);
            } else if (w == "nokey") {
                model->m_noKey = true;
            } else if (!noise(w, model->m_noise, model->m_random)) {
                error = "unknown asciikey option: " + w;
                return nullptr;
            }
        }
        return model;
    }
    if (kind == "onewire") {
        auto model = std::make_unique<COneWireModel>();
        bool badCrc = false;
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& w = words[i];
            if (TakeOption(w, "key", value) && ParseHex(value, 8, number)) {
                const uint8_t rom[8] = {0x01,
                                        static_cast<uint8_t>(number),
                                        static_cast<uint8_t>(number >> 8),
                                        static_cast<uint8_t>(number >> 16),
                                        static_cast<uint8_t>(number >> 24),
                                        0x5A,
                                        0x00,
                                        0};
                std::copy(rom, rom + 8, model->m_rom);
                model->m_rom[7] = ModelCrc8(model->m_rom, 7);
            } else if (TakeOption(w, "rom", value) && ParseHex(value, 16, number)) {
                for (int b = 0; b < 8; ++b)
                    model->m_rom[b] = static_cast<uint8_t>(number >> (8 * (7 - b)));
            } else if (w == "badcrc") {
                badCrc = true;
            } else if (w == "nokey") {
                model->m_noKey = true;
            } else if (w == "low") {
                model->m_low = true;
            } else if (!noise(w, model->m_noise, model->m_random)) {
                error = "unknown onewire option: " + w;
                return nullptr;
            }
        }
        if (badCrc)
            model->m_rom[7] ^= 0x01;
        return model;
    }
    if (kind == "packetkey") {
        auto model = std::make_unique<CPacketKeyModel>();
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& w = words[i];
            if (TakeOption(w, "number", value) && ParseHex(value, 8, number)) {
                model->m_number = static_cast<uint32_t>(number);
            } else if (w == "wrongseq") {
                model->m_wrongSequence = true;
            } else if (w == "badcrc") {
                model->m_badCrc = true;
            } else if (w == "short") {
                model->m_short = true;
            } else if (w == "nokey") {
                model->m_noKey = true;
            } else if (!noise(w, model->m_noise, model->m_random)) {
                error = "unknown packetkey option: " + w;
                return nullptr;
            }
        }
        return model;
    }
    error = "unknown device model: " + kind;
    return nullptr;
}

#include "support/HodTestModel.h"

#include <cstdlib>

namespace {

constexpr int kMarkParity = 3;
constexpr int kSpaceParity = 4;
constexpr unsigned kMaxData = 32;

uint8_t Xor(const uint8_t* bytes, size_t count, uint8_t seed = 0)
{
    for (size_t i = 0; i < count; ++i)
        seed ^= bytes[i];
    return seed;
}

bool ParseNumber(const std::string& text, int base, unsigned long max, unsigned long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, base);
    return *end == '\0' && value <= max && text[0] != '-' && text[0] != '+';
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes)
{
    if (text.empty() || text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned long v = 0;
        if (!ParseNumber(text.substr(i, 2), 16, 0xFF, v))
            return false;
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// Length of a whole request from its first bytes; 0 while it cannot be told yet, -1 for a
// request the device does not know.
int RequestLength(const std::vector<uint8_t>& packet)
{
    switch (packet[0]) {
    case 0xA0: return 2;
    case 0xA2: return 4;
    case 0xA4: return 5;
    case 0xAC:
        if (packet.size() < 4)
            return 0;
        return packet[3] >= 1 && packet[3] <= kMaxData ? 5 + packet[3] : -1;
    default: return -1;
    }
}

} // namespace

CHodTestModel::CHodTestModel() : m_memory(0x10000)
{
    for (size_t i = 0; i < m_memory.size(); ++i)
        m_memory[i] = static_cast<uint8_t>(i * 7 + 3);
    // 2009-06-14 10:05, device 42, status 0x0510 with the flag clear, a 24LC32 chip.
    SetHeader({9, 6, 14, 10, 5, 42, 0x10, 0x05, 0x80});
}

void CHodTestModel::SetHeader(const std::vector<uint8_t>& bytes)
{
    for (size_t i = 0; i < bytes.size() && i < 9; ++i)
        m_memory[i] = bytes[i];
}

void CHodTestModel::OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer)
{
    answer.push_back(byte);  // the adapter's echo
    const bool parityShown = !m_byPlace && (line.parity == kMarkParity || line.parity == kSpaceParity);
    if (parityShown && line.parity == kSpaceParity) {
        ++m_addressBytes;
        m_addressParity = line.parity;
        m_selected = byte == m_address;
        m_packet.clear();
        return;
    }
    if (!parityShown && m_packet.empty() && byte == m_address) {
        ++m_addressBytes;
        m_addressParity = line.parity;
        m_selected = true;
        return;
    }
    if (m_selected)
        Take(byte, answer);
}

void CHodTestModel::Take(uint8_t byte, std::vector<uint8_t>& answer)
{
    m_packet.push_back(byte);
    const int length = RequestLength(m_packet);
    if (length < 0) {
        // Not a request of this device: wait for the next address byte.
        m_packet.clear();
        m_selected = false;
        return;
    }
    if (length == 0 || m_packet.size() < static_cast<size_t>(length))
        return;
    Serve(answer);
    m_packet.clear();
}

void CHodTestModel::Serve(std::vector<uint8_t>& answer)
{
    const std::vector<uint8_t>& p = m_packet;
    const size_t checkAt = p[0] == 0xAC ? 4 : p.size() - 1;
    if (Xor(p.data(), checkAt, m_address) != p[checkAt])
        return;  // a garbled request gets no answer
    Request request{p[0], 0, 0, {}};
    if (p[0] == 0xA2) {
        request.memoryAddress = p[1];
        request.count = p[2];
    } else if (p[0] == 0xA4 || p[0] == 0xAC) {
        request.memoryAddress = p[1] | p[2] << 8u;
        request.count = p[3];
    }
    if (p[0] == 0xAC)
        request.data.assign(p.begin() + 5, p.end());
    m_requests.push_back(request);
    if (m_drop > 0) {
        --m_drop;
        return;
    }

    std::vector<uint8_t> reply;
    if (p[0] == 0xAC) {
        for (unsigned i = 0; i < request.count; ++i)
            m_memory[(request.memoryAddress + i) & 0xFFFF] = request.data[i];
    }
    if (m_silent)
        return;
    switch (p[0]) {
    case 0xA0:
        answer.push_back(m_presence >= 0 ? static_cast<uint8_t>(m_presence) : p[1]);
        return;
    case 0xA2:
    case 0xA4:
        if (request.count < 1 || request.count > kMaxData)
            return;
        for (unsigned i = 0; i < request.count; ++i)
            reply.push_back(m_memory[(request.memoryAddress + i) & 0xFFFF]);
        break;
    }
    const uint8_t check = static_cast<uint8_t>(Xor(p[0] == 0xAC ? request.data.data() : reply.data(),
                                                   p[0] == 0xAC ? request.data.size() : reply.size()) ^
                                               (m_badCheck ? 0x5A : 0));
    answer.insert(answer.end(), reply.begin(), reply.end());
    answer.push_back(check);
}

std::unique_ptr<CDeviceModel> MakeHodTestModel(const std::vector<std::string>& words, std::string& error)
{
    auto model = std::make_unique<CHodTestModel>();
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        const size_t eq = w.find('=');
        const std::string key = w.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : w.substr(eq + 1);
        unsigned long v = 0;
        bool ok = true;
        if (eq == std::string::npos) {
            if (w == "badcheck")
                model->m_badCheck = true;
            else if (w == "silent")
                model->m_silent = true;
            else if (w == "place")
                model->m_byPlace = true;
            else
                ok = false;
        } else if (key == "address" && (ok = ParseNumber(value, 16, 0xFF, v))) {
            model->m_address = static_cast<uint8_t>(v);
        } else if (key == "number" && (ok = ParseNumber(value, 10, 0xFF, v))) {
            model->m_memory[5] = static_cast<uint8_t>(v);
        } else if (key == "size" && (ok = ParseNumber(value, 16, 0xFF, v))) {
            model->m_memory[8] = static_cast<uint8_t>(v);
        } else if (key == "presence" && (ok = ParseNumber(value, 16, 0xFF, v))) {
            model->m_presence = static_cast<int>(v);
        } else if (key == "drop" && (ok = ParseNumber(value, 10, 1000000, v))) {
            model->m_drop = static_cast<unsigned>(v);
        } else if (key == "date") {
            std::vector<uint8_t> date;
            size_t start = 0;
            while (ok && start <= value.size()) {
                size_t dash = value.find('-', start);
                if (dash == std::string::npos)
                    dash = value.size();
                ok = ParseNumber(value.substr(start, dash - start), 10, 0xFF, v);
                date.push_back(static_cast<uint8_t>(v));
                start = dash + 1;
            }
            ok = ok && date.size() == 5;
            if (ok)
                model->SetHeader(date);
        } else if (key == "mem") {
            std::vector<uint8_t> bytes;
            const size_t colon = value.find(':');
            ok = colon != std::string::npos && ParseNumber(value.substr(0, colon), 16, 0xFFFF, v) &&
                 ParseHexBytes(value.substr(colon + 1), bytes) && v + bytes.size() <= model->m_memory.size();
            for (size_t k = 0; ok && k < bytes.size(); ++k)
                model->m_memory[v + k] = bytes[k];
        } else {
            ok = false;
        }
        if (!ok) {
            error = "unknown or malformed hodtest option: " + w;
            return nullptr;
        }
    }
    return model;
}

#include "support/DeviceModel.h"
#include "support/HodTestModel.h"
#include "support/KeyReaderModels.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool ParseHexByte(const std::string& text, uint8_t& value)
{
    if (text.empty() || text.size() > 2)
        return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0')
        return false;
    value = static_cast<uint8_t>(v);
    return true;
}

} // namespace

void CEchoModel::OnByte(uint8_t byte, const LineSettings& line, std::vector<uint8_t>& answer)
{
    if (byte == 0xF0 && m_presence >= 0 && line.baudRate <= 9600) {
        answer.push_back(static_cast<uint8_t>(m_presence));
        return;
    }
    auto swapped = m_swap.find(byte);
    answer.push_back(swapped != m_swap.end() ? swapped->second : byte);
    if (m_report && byte == '?') {
        for (int i = 0; i < 4; ++i)
            answer.push_back(static_cast<uint8_t>(line.baudRate >> (8 * i)));
        answer.push_back(static_cast<uint8_t>(line.parity));
        answer.push_back(static_cast<uint8_t>(line.byteSize));
        answer.push_back(static_cast<uint8_t>(line.stopBits));
    }
}

void CReplayModel::OnByte(uint8_t, const LineSettings&, std::vector<uint8_t>& answer)
{
    if (m_next < m_answers.size()) {
        answer.insert(answer.end(), m_answers[m_next].begin(), m_answers[m_next].end());
        ++m_next;
    }
}

void CNoiseModel::OnByte(uint8_t, const LineSettings&, std::vector<uint8_t>& answer)
{
    unsigned n = m_random() % 4;
    for (unsigned i = 0; i < n; ++i)
        answer.push_back(static_cast<uint8_t>(m_random()));
}

std::unique_ptr<CDeviceModel> MakeDeviceModel(const std::vector<std::string>& words, std::string& error)
{
    if (words.empty()) {
        error = "no device model named";
        return nullptr;
    }
    const std::string& kind = words[0];
    if (kind == "silent" && words.size() == 1)
        return std::make_unique<CSilentModel>();
    if (kind == "noise" && words.size() == 2) {
        char* end = nullptr;
        unsigned long seed = std::strtoul(words[1].c_str(), &end, 10);
        if (words[1].empty() || *end != '\0') {
            error = "noise wants a decimal seed";
            return nullptr;
        }
        return std::make_unique<CNoiseModel>(static_cast<uint32_t>(seed));
    }
    if (kind == "echo") {
        auto model = std::make_unique<CEchoModel>();
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& w = words[i];
            uint8_t a = 0, b = 0;
            if (w == "report") {
                model->m_report = true;
            } else if (w.compare(0, 9, "presence=") == 0 && ParseHexByte(w.substr(9), a)) {
                model->m_presence = a;
            } else if (w.compare(0, 5, "swap=") == 0 && w.size() == 10 && w[7] == ':' &&
                       ParseHexByte(w.substr(5, 2), a) && ParseHexByte(w.substr(8, 2), b)) {
                model->m_swap[a] = b;
            } else {
                error = "unknown echo option: " + w;
                return nullptr;
            }
        }
        return model;
    }
    if (kind == "hodtest")
        return MakeHodTestModel(words, error);
    if (kind == "asciikey" || kind == "onewire" || kind == "packetkey")
        return MakeKeyReaderModel(words, error);
    error = "unknown device model: " + kind;
    return nullptr;
}

LineSettings LineSettingsOfTty(const char* path)
{
    LineSettings line;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return line;
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        static const struct {
            speed_t speed;
            unsigned long baud;
        } bauds[] = {{B110, 110},     {B300, 300},     {B600, 600},       {B1200, 1200},    {B2400, 2400},
                     {B4800, 4800},   {B9600, 9600},   {B19200, 19200},   {B38400, 38400},  {B57600, 57600},
                     {B115200, 115200}, {B230400, 230400}};
        speed_t speed = cfgetospeed(&t);
        line.baudRate = 0;
        for (const auto& b : bauds)
            if (b.speed == speed)
                line.baudRate = b.baud;
        // A pty drops the parity-enable bit but keeps the mark/space bits.
        if (t.c_cflag & CMSPAR)
            line.parity = (t.c_cflag & PARODD) ? 3 : 4;
        else if (t.c_cflag & PARENB)
            line.parity = (t.c_cflag & PARODD) ? 1 : 2;
        else
            line.parity = 0;
        switch (t.c_cflag & CSIZE) {
        case CS5: line.byteSize = 5; break;
        case CS6: line.byteSize = 6; break;
        case CS7: line.byteSize = 7; break;
        default: line.byteSize = 8; break;
        }
        line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    }
    close(fd);
    return line;
}

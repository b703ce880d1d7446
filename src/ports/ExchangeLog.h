// Per-port log of failed exchanges with reader hardware, kept under "\device_server_files\" at the
// root of the current drive: one file per port, device address and direction, each rotated above
// 256 KiB with one older generation kept.
#pragma once
#include <string>

#include "compat/wincompat.h"

// Files above this size are rotated before the next line.
constexpr unsigned long long kExchangeLogMaxBytes = 0x40000;

// Appends one line. A file that cannot be opened raises a framework file exception.
void LogExchangeError(const std::string& portName, int address, BOOL isWrite, const std::string& text);

// The folder the logs go to: the log base directory (empty: the current drive's root) followed by
// "\device_server_files\".
std::string ExchangeLogFolder();
// The log base directory; the component leaves it empty. Natively, tests point it at a scratch folder.
void SetExchangeLogBaseDir(const std::string& baseDir);

// The port name with the characters a file name cannot hold removed ("\/*?"<>|." ) and ":" as "-".
std::string SafePortFileName(const std::string& portName);
// "_p<port>d<address>_<read|write>_err.log"; a negative address is written as -1.
std::string ExchangeLogFileName(const std::string& portName, int address, BOOL isWrite);
// The older generation's name: "_err.log" becomes "_err_old.log".
std::string ExchangeLogOldFileName(const std::string& fileName);
// One line without its CRLF: time, tab, text, and three tabs when the address is 0 or more.
std::string ExchangeLogLine(const std::string& timeText, int address, const std::string& text);
// The current local date and time as the user's locale writes a date.
std::string ExchangeLogTimeText();

// The card-reader route of a key read: the outside card-reader library, loaded by name when first
// needed. A machine without it reads keys through the serial route only.
#pragma once
#include <cstdint>
#include <string>

// Initialises the library for a dialog; false also when the library is absent.
bool CardReaderInitialize();
void CardReaderFinalize();

// -1: the card reader cannot be used on this port item (the serial route goes on); 1: it
// answered, and number is the card's number, or 0 when no card was found.
int ReadCardNumber(const std::string& portItem, uint32_t& number);

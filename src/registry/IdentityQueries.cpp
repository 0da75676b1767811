// The queries that tell an application which card sits behind a card number: its
// product ID, base port address, name and serial number, and the look-up of a card
// by serial number. The product ID costs no I/O; the name and the serial number
// are one vendor read each.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CardClose.h"
#include "registry/CoreExports.h"
#include "registry/Discovery.h"
#include "transport/ControlTransfer.h"

namespace merlox {
namespace {

// The name is asked for with a vendor request shaped like GET_DESCRIPTOR for
// string descriptor 2, and comes back laid out as a USB string descriptor.
constexpr uint8_t kNameRequest = 6;
constexpr uint16_t kNameValue = 0x0302;
constexpr size_t kNameHeaderSize = 2;
// The request asks for the caller's capacity plus the header. A transfer's length
// is 16 bits, so the capacity used for it stops at the largest that still fits;
// a string descriptor holds at most 126 characters anyway, so nothing is lost.
constexpr uint32_t kMaxNameRequestCapacity = 0xFFFF / 2 - 1;

constexpr uint8_t kSerialNumberRequest = 0xA2;
constexpr uint16_t kSerialNumberValue = 0x1DF8;
constexpr uint32_t kSerialNumberSize = 8;
constexpr uint64_t kNoSerialNumber = ~uint64_t{0};

constexpr uint32_t kPortsPerCard = 16;

// The routines that guard their body report a memory fault in the caller's
// pointers, like any other fault there, as an internal error.
constexpr DWORD kGuardedFault = ERROR_INTERNAL_ERROR;

// Resolves the card number and, when its slot holds no open card, runs a
// discovery first: a card plugged in since the library loaded may land there.
DWORD FindCard(int32_t& cardNum, CardRef& card) {
  const DWORD status = ResolveCardNumber(cardNum);
  if (status != ERROR_SUCCESS) return status;
  if (CardPresence(cardNum) != ERROR_SUCCESS) ScanCards();
  return CheckCard(cardNum, card);
}

// The characters of the name converted to the ANSI code page, exactly `count`
// bytes: the first `nameChars` units converted (cut to fit), zeros after them.
std::vector<char> ToAnsi(const std::vector<WCHAR>& units, size_t nameChars, size_t count) {
  std::vector<char> text(count, '\0');
  const int chars = static_cast<int>(std::min(nameChars, count));
  if (chars == 0) return text;
  const int needed =
      WideCharToMultiByte(CP_ACP, 0, units.data(), chars, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) throw std::runtime_error("name not convertible");
  std::vector<char> converted(static_cast<size_t>(needed));
  const int written = WideCharToMultiByte(CP_ACP, 0, units.data(), chars, converted.data(), needed,
                                          nullptr, nullptr);
  if (written <= 0) throw std::runtime_error("name not convertible");
  // A code page with two-byte characters may need more bytes than there are
  // characters; the caller's buffer still takes no more than `count` bytes.
  std::copy_n(converted.begin(), std::min<size_t>(static_cast<size_t>(written), chars),
              text.begin());
  return text;
}

DWORD ReadCardName(const CardRef& card, uint32_t* pNameSize, char* pName) {
  if (pNameSize == nullptr) return ERROR_INVALID_ACCESS;
  TPIDCaps caps;
  if (!SlotCaps(card, caps)) return StaleCardStatus(card);
  if (!caps.bGetName) {
    return WriteCaller(pNameSize, uint32_t{0}) ? ERROR_SUCCESS : kGuardedFault;
  }
  uint32_t capacity = 0;
  if (!ReadCaller(pNameSize, capacity)) return kGuardedFault;

  // Zero-filled, so that a reply shorter than its length byte claims shows no
  // stale memory: the characters it did not send read as NULs.
  const uint32_t requestChars = std::min(capacity, kMaxNameRequestCapacity) + 1;
  std::vector<uint8_t> reply(size_t{requestChars} * 2, 0);
  uint32_t length = requestChars * 2;
  const DWORD status = ControlIn(card, kNameRequest, kNameValue, 0, &length, reply.data());
  if (status != ERROR_SUCCESS) return status;

  const uint32_t descriptorChars = reply[0] / 2;
  if (descriptorChars == 0) {
    return WriteCaller(pNameSize, uint32_t{0}) ? ERROR_SUCCESS : kGuardedFault;
  }
  const uint32_t nameLength = descriptorChars - 1;
  if (pName != nullptr) {
    // Room for the whole name gets it with a NUL behind; less room gets exactly
    // `capacity` characters and no NUL.
    const uint32_t count = std::min(capacity, nameLength + 1);
    std::vector<WCHAR> units(count);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t at = kNameHeaderSize + 2 * size_t{i};
      units[i] = static_cast<WCHAR>(reply[at] | (reply[at + 1] << 8));
    }
    const std::vector<char> text = ToAnsi(units, nameLength, count);
    if (!CopyToCaller(pName, text.data(), text.size())) return kGuardedFault;
  }
  return WriteCaller(pNameSize, nameLength) ? ERROR_SUCCESS : kGuardedFault;
}

DWORD ReadCardId(const CardRef& card, uint32_t* pPID) {
  if (pPID == nullptr) return ERROR_INVALID_ACCESS;
  return WriteCaller(pPID, Slot(card.index).PID.load()) ? ERROR_SUCCESS : kGuardedFault;
}

DWORD ReadCardInfo(int32_t cardNum, uint32_t* pPID, int32_t* pBase, uint32_t* pNameSize,
                   char* pName) {
  // One card answers everything, so a selector names the same card throughout.
  CardRef card;
  DWORD status = FindCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  if (pPID != nullptr) {
    status = ReadCardId(card, pPID);
    if (status != ERROR_SUCCESS) return status;
  }
  if (pBase != nullptr) {
    const int32_t base = cardNum * static_cast<int32_t>(kPortsPerCard);
    if (!WriteCaller(pBase, base)) return kGuardedFault;
  }
  if (pNameSize != nullptr) return ReadCardName(card, pNameSize, pName);
  return ERROR_SUCCESS;
}

DWORD ReadSerialNumber(int32_t cardNum, uint64_t* pSerialNumber) {
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  uint8_t bytes[kSerialNumberSize] = {};
  uint32_t length = kSerialNumberSize;
  const DWORD status = ControlIn(card, kSerialNumberRequest, kSerialNumberValue, 0, &length, bytes);
  // Unlike the other reads, this one notices a card that has gone and closes it.
  if (status != ERROR_SUCCESS) return TranslateIoFailure(card, status);
  // A reply of the wrong size set no error of its own; the thread's last-error
  // value is left over from something else and must not decide the card's fate.
  if (length != kSerialNumberSize) return ERROR_GEN_FAILURE;
  uint64_t serial = 0;
  for (uint32_t i = 0; i < kSerialNumberSize; ++i) serial |= uint64_t{bytes[i]} << (8 * i);
  if (serial == 0) serial = kNoSerialNumber;
  if (!WriteCaller(pSerialNumber, serial)) return ERROR_NOACCESS;
  return serial == kNoSerialNumber ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS;
}

}  // namespace
}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API QueryCardID(int32_t CardNum, uint32_t* pPID) {
  return ExportStatus([&] {
    CardRef card;
    const DWORD status = FindCard(CardNum, card);
    return status != ERROR_SUCCESS ? status : ReadCardId(card, pPID);
  });
}

extern "C" uint32_t MERLOX_API QueryCardName(int32_t CardNum, uint32_t* pNameSize, char* pName) {
  return ExportStatus([&] {
    CardRef card;
    const DWORD status = FindCard(CardNum, card);
    return status != ERROR_SUCCESS ? status : ReadCardName(card, pNameSize, pName);
  });
}

extern "C" uint32_t MERLOX_API QueryCardInfo(int32_t CardNum, uint32_t* pPID, int32_t* pBase,
                                             uint32_t* pNameSize, char* pName) {
  return ExportStatus([&] { return ReadCardInfo(CardNum, pPID, pBase, pNameSize, pName); });
}

extern "C" uint32_t MERLOX_API QueryCardSerialNumber(int32_t CardNum, uint64_t* pSerialNumber) {
  return ExportStatus([&] { return ReadSerialNumber(CardNum, pSerialNumber); });
}

extern "C" int32_t MERLOX_API GetCardBySerialNumber(uint64_t SerialNumber) {
  return ExportValue(int32_t{-1}, [&] {
    for (int32_t card = 0; card < kMaxCards; ++card) {
      uint64_t serial = 0;
      if (ReadSerialNumber(card, &serial) == ERROR_SUCCESS && serial == SerialNumber) return card;
    }
    return int32_t{-1};
  });
}

extern "C" int32_t MERLOX_API GetCardByEEPROMByte(void) {
  return ExportValue(int32_t{-1}, [] {
    SetLastError(ERROR_NOT_SUPPORTED);
    return int32_t{-1};
  });
}

extern "C" int32_t MERLOX_API GetCardByEEPROMData(void) {
  return ExportValue(int32_t{-1}, [] {
    SetLastError(ERROR_NOT_SUPPORTED);
    return int32_t{-1};
  });
}

extern "C" uint32_t MERLOX_API CustomEEPROMRead(void) {
  return ExportStatus([] { return DWORD{ERROR_NOT_SUPPORTED}; });
}

extern "C" uint32_t MERLOX_API CustomEEPROMWrite(void) {
  return ExportStatus([] { return DWORD{ERROR_NOT_SUPPORTED}; });
}

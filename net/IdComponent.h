// Base of the networking components: while at least one of them exists, the
// socket stack GlobalStack exists.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/Classes.h"

class TIdBaseComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

enum TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

enum TWorkMode { wmRead, wmWrite };

using TIdStatusEvent =
    std::function<void(TObject* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent =
    std::function<void(TObject* ASender, TWorkMode AWorkMode, std::int64_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TObject* ASender, TWorkMode AWorkMode, std::int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TObject* ASender, TWorkMode AWorkMode)>;

class TIdComponent : public TIdBaseComponent {
 public:
  explicit TIdComponent(TComponent* AOwner);
  ~TIdComponent() override;

  // The host's name (empty when the system does not tell it).
  std::string LocalComputerName() const;

  // Progress notifications of derived components; the UDP ones raise none.
  TIdStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;
};

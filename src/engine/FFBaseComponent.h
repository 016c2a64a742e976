#pragma once
// The base of the engine's components (encoder, decoder). It has no state of
// its own beyond a read-only version text; components are owned by their
// creator and are not copyable.

#include <string>

class TFFBaseComponent {
public:
  TFFBaseComponent() = default;
  virtual ~TFFBaseComponent() = default;
  TFFBaseComponent(const TFFBaseComponent &) = delete;
  TFFBaseComponent &operator=(const TFFBaseComponent &) = delete;

  // The engine's version text, for example "1.0.0".
  static std::string Version() { return "1.0.0"; }
};

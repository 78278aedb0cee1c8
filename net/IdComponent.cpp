#include "net/IdComponent.h"

#include "net/IdStack.h"

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {
  IdComponentCreated();
}

TIdComponent::~TIdComponent() {
  IdComponentDestroyed();
}

std::string TIdComponent::LocalComputerName() const {
  return GlobalStack->LocalHostName();
}

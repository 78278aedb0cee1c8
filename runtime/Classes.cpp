#include "runtime/Classes.h"

#include <algorithm>
#include <cstring>

void TPersistent::Assign(const TPersistent& Source) {
  throw EConvertError(Format("Cannot assign a %s to a %s", DemangledName(typeid(Source)).c_str(),
                             DemangledName(typeid(*this)).c_str()));
}

// ---------------------------------------------------------------- TComponent

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  // Last created first, so a component never outlives what it was built on.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) {
    auto& siblings = owner_->components_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
  return components_[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (TComponent* c : components_) {
    if (c->name_ == name) return c;
  }
  return nullptr;
}

void TComponent::BeginLoading() {
  loading_ = true;
  for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::Loaded() {
  loading_ = false;
}

void TComponent::EndLoading() {
  // Copy: a Loaded override may create components.
  const std::vector<TComponent*> owned = components_;
  for (TComponent* c : owned) c->EndLoading();
  if (loading_) Loaded();
}

// ---------------------------------------------------------------- collections

TCollectionItem::TCollectionItem(TCollection* Collection) : collection_(Collection) {
  if (collection_) collection_->items_.push_back(this);
}

TCollectionItem::~TCollectionItem() {
  if (collection_) {
    auto& items = collection_->items_;
    items.erase(std::remove(items.begin(), items.end(), this), items.end());
  }
}

int TCollectionItem::Index() const {
  if (!collection_) return -1;
  const auto& items = collection_->items_;
  const auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

TCollection::~TCollection() {
  Clear();
}

TCollectionItem* TCollection::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
  return items_[static_cast<std::size_t>(index)];
}

void TCollection::Delete(int index) {
  delete Items(index);
}

void TCollection::Clear() {
  while (!items_.empty()) delete items_.back();
}

// ---------------------------------------------------------------- TStringList

void TStringList::Check(int index) const {
  if (index < 0 || index >= Count()) {
    throw EStringListError(Format("List index out of bounds (%d)", index));
  }
}

const std::string& TStringList::Strings(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)];
}

void TStringList::SetStrings(int index, std::string value) {
  Check(index);
  items_[static_cast<std::size_t>(index)] = std::move(value);
}

int TStringList::Add(std::string value) {
  items_.push_back(std::move(value));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string value) {
  if (index < 0 || index > Count()) {
    throw EStringListError(Format("List index out of bounds (%d)", index));
  }
  items_.insert(items_.begin() + index, std::move(value));
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(const std::string& value) const {
  const auto it = std::find(items_.begin(), items_.end(), value);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

std::string TStringList::Text() const {
  std::string out;
  for (const auto& s : items_) {
    out += s;
    out += "\r\n";
  }
  return out;
}

void TStringList::Assign(const TPersistent& Source) {
  if (const auto* other = dynamic_cast<const TStringList*>(&Source)) {
    if (other != this) items_ = other->items_;
    return;
  }
  TPersistent::Assign(Source);
}

// ---------------------------------------------------------------- TMemoryStream

void TMemoryStream::SetSize(std::int64_t size) {
  if (size < 0) size = 0;
  data_.resize(static_cast<std::size_t>(size));
  if (position_ > size) position_ = size;
}

void TMemoryStream::SetPosition(std::int64_t position) {
  position_ = std::clamp<std::int64_t>(position, 0, Size());
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t n = std::min(count, Size() - position_);
  if (n <= 0) return 0;
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<std::size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

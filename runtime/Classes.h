// Base classes of the component model: persistent objects, components with
// owners, owned collections, string lists and memory streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Exception.h"

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// An object whose values can be copied from another object.
class TPersistent : public TObject {
 public:
  // Copies Source's values; the base raises EConvertError
  // "Cannot assign a <source class> to a <this class>".
  virtual void Assign(const TPersistent& Source);
};

// A component: name, Tag, owner. The owner destroys the components it owns
// (last created first) when it is destroyed; a component destroyed by other
// means leaves its owner's list.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;  // EListError outside 0..Count-1
  TComponent* FindComponent(const std::string& name) const;

  // Loading from a form description: BeginLoading marks the component (and
  // what it owns) as being loaded; Loaded is the end-of-loading notification.
  bool Loading() const { return loading_; }
  void BeginLoading();
  // Overrides call the base first; it clears the loading mark.
  virtual void Loaded();
  // Sends Loaded to every owned component (creation order), then to this one.
  void EndLoading();

 private:
  TComponent* owner_;
  std::string name_;
  int tag_ = 0;
  bool loading_ = false;
  std::vector<TComponent*> components_;
};

class TCollection;

// An element of a TCollection; it joins the collection when constructed and
// leaves it when destroyed.
class TCollectionItem : public TPersistent {
 public:
  explicit TCollectionItem(TCollection* Collection);
  ~TCollectionItem() override;
  TCollection* Collection() const { return collection_; }
  int Index() const;

 private:
  friend class TCollection;
  TCollection* collection_;
};

// An ordered list of items of one class that it owns. Subclasses supply
// CreateItem, which constructs an item inside this collection.
class TCollection : public TPersistent {
 public:
  TCollection() = default;
  ~TCollection() override;

  TCollectionItem* Add() { return CreateItem(); }
  int Count() const { return static_cast<int>(items_.size()); }
  TCollectionItem* Items(int index) const;  // EListError outside 0..Count-1
  void Delete(int index);
  void Clear();

 protected:
  virtual TCollectionItem* CreateItem() = 0;

 private:
  friend class TCollectionItem;
  std::vector<TCollectionItem*> items_;
};

// A collection that knows the persistent object it belongs to.
class TOwnedCollection : public TCollection {
 public:
  explicit TOwnedCollection(TPersistent* AOwner) : owner_(AOwner) {}
  TPersistent* Owner() const { return owner_; }

 private:
  TPersistent* owner_;
};

// Ordered texts indexed from 0.
class TStringList : public TPersistent {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Index outside 0..Count-1 raises EStringListError "List index out of bounds (%d)".
  const std::string& Strings(int index) const;
  void SetStrings(int index, std::string value);
  int Add(std::string value);
  void Insert(int index, std::string value);  // 0..Count accepted
  void Delete(int index);
  void Clear() { items_.clear(); }
  int IndexOf(const std::string& value) const;  // -1 when absent
  // Lines joined with CR LF, each line terminated.
  std::string Text() const;
  void Assign(const TPersistent& Source) override;

 private:
  void Check(int index) const;
  std::vector<std::string> items_;
};

// A resizable byte buffer with a read/write position.
class TMemoryStream : public TObject {
 public:
  std::int64_t Size() const { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size);  // keeps Position within the new size
  std::int64_t Position() const { return position_; }
  void SetPosition(std::int64_t position);  // clamped to 0..Size
  std::uint8_t* Memory() { return data_.data(); }
  const std::uint8_t* Memory() const { return data_.data(); }
  // Reads up to count bytes from Position; returns how many were read.
  std::int64_t Read(void* buffer, std::int64_t count);
  // Writes at Position, growing the buffer as needed; returns count.
  std::int64_t Write(const void* buffer, std::int64_t count);
  void Clear();

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};

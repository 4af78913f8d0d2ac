#pragma once
// Persistable objects. Placeholder until the XML persistence lands: the base class that marks the
// objects the persistence can save and load.

#include "common/object.h"

class TXMLPersistentObject : public TObject {
 public:
  TXMLPersistentObject() = default;
};

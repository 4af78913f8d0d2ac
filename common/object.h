#pragma once
// Root of the program's object classes: anything a tree node can carry as its data.

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

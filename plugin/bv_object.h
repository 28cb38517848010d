#pragma once
// Common base of the client objects the plug-in holds.
class BvObject {
  public:
    BvObject() = default;
    virtual ~BvObject() = default;
    BvObject(const BvObject&) = delete;
    BvObject& operator=(const BvObject&) = delete;
};

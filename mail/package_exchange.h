#pragma once
// Carries security tokens between a local security package and the peer.
class DataBuffer;
class LogBase;

class PackageExchange {
  public:
    virtual ~PackageExchange() = default;
    // Sends a token and receives the peer's next one.
    virtual bool exchangePackage(const DataBuffer& outgoing, DataBuffer& incoming, LogBase& log) {
        (void)outgoing, (void)incoming, (void)log;
        return false;
    }
    // Sends the last token; true when the peer accepted the login. An empty
    // token means the client gives up the exchange.
    virtual bool sendFinal(const DataBuffer& outgoing, LogBase& log) {
        (void)outgoing, (void)log;
        return false;
    }
};

#pragma once
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include <boost/optional.hpp>

#include "Export.h"
#include "payloads/ISerializable.h"

// A result code with a text.
class KESTRUP_PAYLOADS_API StatusReportPayload : public ISerializable {
public:
    StatusReportPayload(int32_t code = 0, const std::string& message = std::string());
    ~StatusReportPayload() override;
    std::string getSerializableType() const override;  // "StatusReport"
    int32_t getCode() const;
    void setCode(int32_t code);
    std::string getMessage() const;
    void setMessage(const std::string& message);
    // A second text for details (our download service puts its error class here).
    std::string getDetail() const;
    void setDetail(const std::string& detail);

private:
    int32_t m_code;
    std::string m_message;
    std::string m_detail;
};

// The component's reply to a request; only `result` is set by the component.
class KESTRUP_PAYLOADS_API StatusResultTypePayload : public ISerializable {
public:
    struct Detail {
        boost::optional<std::string> first;
        boost::optional<std::string> second;
        boost::optional<std::list<std::string> > items;
    };
    typedef std::map<std::string, std::string> Attributes;

    StatusResultTypePayload();
    ~StatusResultTypePayload() override;
    std::string getSerializableType() const override;  // "StatusResultType"

    boost::optional<std::string> getOptionalText() const;
    void setOptionalText(const std::string& text);
    std::string getText() const;
    void setText(const std::string& text);
    int32_t getResult() const;
    void setResult(int32_t result);
    boost::optional<Detail> getDetail() const;
    void setDetail(const Detail& detail);
    boost::optional<Attributes> getAttributes() const;
    void setAttributes(const Attributes& attributes);

private:
    boost::optional<std::string> m_optionalText;
    std::string m_text;
    int32_t m_result;
    boost::optional<Detail> m_detail;
    boost::optional<Attributes> m_attributes;
};

class KESTRUP_PAYLOADS_API ErrorTypePayload : public ISerializable {
public:
    ErrorTypePayload();
    ~ErrorTypePayload() override;
    std::string getSerializableType() const override;  // "ErrorType"
    int32_t getCode() const;
    void setCode(int32_t code);
    std::string getUserMessage() const;
    void setUserMessage(const std::string& message);
    std::string getExceptionType() const;
    void setExceptionType(const std::string& type);

private:
    int32_t m_code;
    std::string m_userMessage;
    std::string m_exceptionType;
};

class KESTRUP_PAYLOADS_API ProgressReportPayload : public ISerializable {
public:
    ProgressReportPayload();
    ProgressReportPayload(uint64_t currentBytes, uint64_t totalBytes, uint64_t bytesPerSecond);
    ~ProgressReportPayload() override;
    std::string getSerializableType() const override;  // "ProgressReport"
    uint64_t getCurrentBytes() const;
    void setCurrentBytes(uint64_t value);
    uint64_t getTotalBytes() const;  // 0 when unknown
    void setTotalBytes(uint64_t value);
    uint64_t getBytesPerSecond() const;
    void setBytesPerSecond(uint64_t value);

private:
    uint64_t m_currentBytes;
    uint64_t m_totalBytes;
    uint64_t m_bytesPerSecond;
};

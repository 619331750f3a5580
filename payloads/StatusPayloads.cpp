#include "payloads/StatusPayloads.h"

// --- StatusReportPayload ------------------------------------------------------

StatusReportPayload::StatusReportPayload(int32_t code, const std::string& message) : m_code(code), m_message(message) {}
StatusReportPayload::~StatusReportPayload() = default;
std::string StatusReportPayload::getSerializableType() const { return "StatusReport"; }
int32_t StatusReportPayload::getCode() const { return m_code; }
void StatusReportPayload::setCode(int32_t code) { m_code = code; }
std::string StatusReportPayload::getMessage() const { return m_message; }
void StatusReportPayload::setMessage(const std::string& message) { m_message = message; }
std::string StatusReportPayload::getDetail() const { return m_detail; }
void StatusReportPayload::setDetail(const std::string& detail) { m_detail = detail; }

// --- StatusResultTypePayload --------------------------------------------------

StatusResultTypePayload::StatusResultTypePayload() : m_result(0) {}
StatusResultTypePayload::~StatusResultTypePayload() = default;
std::string StatusResultTypePayload::getSerializableType() const { return "StatusResultType"; }
boost::optional<std::string> StatusResultTypePayload::getOptionalText() const { return m_optionalText; }
void StatusResultTypePayload::setOptionalText(const std::string& text) { m_optionalText = text; }
std::string StatusResultTypePayload::getText() const { return m_text; }
void StatusResultTypePayload::setText(const std::string& text) { m_text = text; }
int32_t StatusResultTypePayload::getResult() const { return m_result; }
void StatusResultTypePayload::setResult(int32_t result) { m_result = result; }
boost::optional<StatusResultTypePayload::Detail> StatusResultTypePayload::getDetail() const { return m_detail; }
void StatusResultTypePayload::setDetail(const Detail& detail) { m_detail = detail; }
boost::optional<StatusResultTypePayload::Attributes> StatusResultTypePayload::getAttributes() const {
    return m_attributes;
}
void StatusResultTypePayload::setAttributes(const Attributes& attributes) { m_attributes = attributes; }

// --- ErrorTypePayload ---------------------------------------------------------

ErrorTypePayload::ErrorTypePayload() : m_code(0) {}
ErrorTypePayload::~ErrorTypePayload() = default;
std::string ErrorTypePayload::getSerializableType() const { return "ErrorType"; }
int32_t ErrorTypePayload::getCode() const { return m_code; }
void ErrorTypePayload::setCode(int32_t code) { m_code = code; }
std::string ErrorTypePayload::getUserMessage() const { return m_userMessage; }
void ErrorTypePayload::setUserMessage(const std::string& message) { m_userMessage = message; }
std::string ErrorTypePayload::getExceptionType() const { return m_exceptionType; }
void ErrorTypePayload::setExceptionType(const std::string& type) { m_exceptionType = type; }

// --- ProgressReportPayload ----------------------------------------------------

ProgressReportPayload::ProgressReportPayload() : m_currentBytes(0), m_totalBytes(0), m_bytesPerSecond(0) {}
ProgressReportPayload::ProgressReportPayload(uint64_t currentBytes, uint64_t totalBytes, uint64_t bytesPerSecond)
    : m_currentBytes(currentBytes), m_totalBytes(totalBytes), m_bytesPerSecond(bytesPerSecond) {}
ProgressReportPayload::~ProgressReportPayload() = default;
std::string ProgressReportPayload::getSerializableType() const { return "ProgressReport"; }
uint64_t ProgressReportPayload::getCurrentBytes() const { return m_currentBytes; }
void ProgressReportPayload::setCurrentBytes(uint64_t value) { m_currentBytes = value; }
uint64_t ProgressReportPayload::getTotalBytes() const { return m_totalBytes; }
void ProgressReportPayload::setTotalBytes(uint64_t value) { m_totalBytes = value; }
uint64_t ProgressReportPayload::getBytesPerSecond() const { return m_bytesPerSecond; }
void ProgressReportPayload::setBytesPerSecond(uint64_t value) { m_bytesPerSecond = value; }

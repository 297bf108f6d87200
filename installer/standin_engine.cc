#include "installer/standin_engine.h"

#include "installer/standin_codes.h"

namespace {

void DropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

GLogWriterOutput DropStructuredLog(GLogLevelFlags, const GLogField*, gsize,
                                   gpointer) {
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

void SilenceEngineLogs() {
  static bool silenced = false;
  if (silenced)
    return;
  silenced = true;
  g_log_set_default_handler(DropLogMessage, nullptr);
  g_log_set_writer_func(DropStructuredLog, nullptr, nullptr);
}

void PrepareEngine() {
  SilenceEngineLogs();
  g_type_ensure(LIBMSI_TYPE_DATABASE);
  g_type_ensure(LIBMSI_TYPE_QUERY);
  g_type_ensure(LIBMSI_TYPE_RECORD);
}

UINT CodeFromEngineError(GError* error, UINT fallback) {
  if (error == nullptr)
    return fallback;
  UINT code = fallback;
  if (error->domain == LIBMSI_RESULT_ERROR) {
    switch (error->code) {
      case LIBMSI_RESULT_ACCESS_DENIED: code = kErrorAccessDenied; break;
      case LIBMSI_RESULT_INVALID_HANDLE: code = kErrorInvalidHandle; break;
      case LIBMSI_RESULT_NOT_ENOUGH_MEMORY: code = kErrorNotEnoughMemory; break;
      case LIBMSI_RESULT_INVALID_DATA: code = kErrorInvalidData; break;
      case LIBMSI_RESULT_OUTOFMEMORY: code = kErrorOutOfMemory; break;
      case LIBMSI_RESULT_INVALID_PARAMETER: code = kErrorInvalidParameter; break;
      case LIBMSI_RESULT_OPEN_FAILED: code = kErrorOpenFailed; break;
      case LIBMSI_RESULT_CALL_NOT_IMPLEMENTED: code = kErrorCallNotImplemented; break;
      case LIBMSI_RESULT_MORE_DATA: code = kErrorMoreData; break;
      case LIBMSI_RESULT_NOT_FOUND: code = kErrorNotFound; break;
      case LIBMSI_RESULT_CONTINUE: code = kErrorContinue; break;
      case LIBMSI_RESULT_UNKNOWN_PROPERTY: code = kErrorUnknownProperty; break;
      case LIBMSI_RESULT_BAD_QUERY_SYNTAX: code = kErrorBadQuerySyntax; break;
      case LIBMSI_RESULT_INVALID_FIELD: code = kErrorInvalidField; break;
      case LIBMSI_RESULT_FUNCTION_FAILED: code = kErrorFunctionFailed; break;
      case LIBMSI_RESULT_INVALID_TABLE: code = kErrorInvalidTable; break;
      case LIBMSI_RESULT_DATATYPE_MISMATCH: code = kErrorDatatypeMismatch; break;
      case LIBMSI_RESULT_INVALID_DATATYPE: code = kErrorInvalidDatatype; break;
      default: break;  // LIBMSI_RESULT_SUCCESS carried in an error says nothing.
    }
  }
  g_error_free(error);
  return code;
}

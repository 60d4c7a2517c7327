#pragma once
// SiLA errors on the wire: a gRPC status ABORTED whose message is the SiLAError message,
// serialized and Base64-encoded.
#include <grpcpp/grpcpp.h>

#include <QString>

namespace vyt::sila {

inline constexpr const char *kDosingFeature = "org.vyt/pumps/PumpDosingService/v1";
inline constexpr const char *kFlowFeature = "org.vyt/pumps/ContinuousFlowService/v1";
inline constexpr const char *kStatusFeature = "org.vyt/pumps/PumpStatusProvider/v1";
inline constexpr const char *kMethodFeature = "org.vyt/pumps/MethodRunner/v1";
inline constexpr const char *kServiceFeature = "org.silastandard/core/SiLAService/v1";
inline constexpr const char *kCancelFeature = "org.silastandard/core.commands/CancelController/v1";

// "org.vyt/pumps/PumpDosingService/v1/Command/DoseVolume/Parameter/Quantity"
[[nodiscard]] QString parameterId(const char *feature, const char *command, const QString &parameter);
// "org.vyt/pumps/PumpDosingService/v1/DefinedExecutionError/PumpBusy"
[[nodiscard]] QString errorId(const char *feature, const char *error);

[[nodiscard]] grpc::Status validationError(const QString &parameter, const QString &message);
[[nodiscard]] grpc::Status definedError(const QString &identifier, const QString &message);
[[nodiscard]] grpc::Status undefinedError(const QString &message);
enum class FrameworkError {
    NotAccepted = 0,
    InvalidExecution = 1,
    NotFinished = 2,
    InvalidMetadata = 3,
    NoMetadataAllowed = 4
};
[[nodiscard]] grpc::Status frameworkError(FrameworkError type, const QString &message);

} // namespace vyt::sila

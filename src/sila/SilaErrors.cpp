#include "sila/SilaErrors.h"

#include "SiLAFramework.pb.h"

#include <QByteArray>

namespace vyt::sila {

namespace fw = sila2::org::silastandard;

namespace {

grpc::Status aborted(const fw::SiLAError &error)
{
    const std::string bytes = error.SerializeAsString();
    const QByteArray text = QByteArray(bytes.data(), qsizetype(bytes.size())).toBase64();
    return grpc::Status(grpc::StatusCode::ABORTED, text.toStdString());
}

} // namespace

QString parameterId(const char *feature, const char *command, const QString &parameter)
{
    return QStringLiteral("%1/Command/%2/Parameter/%3")
        .arg(QLatin1String(feature), QLatin1String(command), parameter);
}

QString errorId(const char *feature, const char *error)
{
    return QStringLiteral("%1/DefinedExecutionError/%2")
        .arg(QLatin1String(feature), QLatin1String(error));
}

grpc::Status validationError(const QString &parameter, const QString &message)
{
    fw::SiLAError error;
    error.mutable_validationerror()->set_parameter(parameter.toStdString());
    error.mutable_validationerror()->set_message(message.toStdString());
    return aborted(error);
}

grpc::Status definedError(const QString &identifier, const QString &message)
{
    fw::SiLAError error;
    error.mutable_definedexecutionerror()->set_erroridentifier(identifier.toStdString());
    error.mutable_definedexecutionerror()->set_message(message.toStdString());
    return aborted(error);
}

grpc::Status undefinedError(const QString &message)
{
    fw::SiLAError error;
    error.mutable_undefinedexecutionerror()->set_message(message.toStdString());
    return aborted(error);
}

grpc::Status frameworkError(FrameworkError type, const QString &message)
{
    fw::SiLAError error;
    error.mutable_frameworkerror()->set_errortype(fw::FrameworkError_ErrorType(int(type)));
    error.mutable_frameworkerror()->set_message(message.toStdString());
    return aborted(error);
}

} // namespace vyt::sila

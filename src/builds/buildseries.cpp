#include "builds/buildseries.h"

#include <QSysInfo>

#include <optional>

namespace {

const QString bucket = QStringLiteral("/chromium-browser-snapshots");

// The one piece of mutable global state here: the test seam for the series.
std::optional<BuildSeries> &nativeOverride()
{
    static std::optional<BuildSeries> series;
    return series;
}

} // namespace

BuildSeries::BuildSeries(const QString &folder, const QString &artifact, InstallMethod method)
    : m_folder(folder)
    , m_artifact(artifact)
    , m_method(method)
{
}

QString BuildSeries::lastChangePath() const
{
    return bucket + QLatin1Char('/') + m_folder + QStringLiteral("/LAST_CHANGE");
}

QString BuildSeries::artifactPath(int build) const
{
    return bucket + QLatin1Char('/') + m_folder + QLatin1Char('/') + QString::number(build)
        + QLatin1Char('/') + m_artifact;
}

QString BuildSeries::listingPath()
{
    return QStringLiteral("/storage/v1/b") + bucket + QStringLiteral("/o");
}

BuildSeries BuildSeries::forPlatform(const QString &kernelType, const QString &cpuArchitecture)
{
    if (kernelType == QLatin1String("linux") && cpuArchitecture == QLatin1String("x86_64"))
        return BuildSeries(QStringLiteral("Linux_x64"), QStringLiteral("chrome-linux.zip"),
                           UnpackArchive);
    if (kernelType == QLatin1String("winnt")) {
        if (cpuArchitecture == QLatin1String("x86_64"))
            return BuildSeries(QStringLiteral("Win_x64"), QStringLiteral("mini_installer.exe"),
                               RunInstaller);
        if (cpuArchitecture == QLatin1String("i386"))
            return BuildSeries(QStringLiteral("Win"), QStringLiteral("mini_installer.exe"),
                               RunInstaller);
    }
    return BuildSeries();
}

BuildSeries BuildSeries::native()
{
    if (nativeOverride())
        return *nativeOverride();
    // The processor the program was built for, not the machine's: a 32-bit Windows program
    // on 64-bit Windows still gets the series its installer belongs to.
    return forPlatform(QSysInfo::kernelType(), QSysInfo::buildCpuArchitecture());
}

void BuildSeries::setNative(const BuildSeries &series)
{
    nativeOverride() = series;
}

bool BuildSeries::operator==(const BuildSeries &other) const
{
    return m_folder == other.m_folder && m_artifact == other.m_artifact
        && m_method == other.m_method;
}

#include "CConfiguration.h"

#include "levels/CLevelMeter.h"

#include <QSettings>

#include <memory>

static constexpr char kOrganisation[] = "Norvik";
static constexpr char kApplication[] = "Lumenfeed";

static std::string instanceName;
static std::string choicesFile;

void CConfiguration::SetLocation(const std::string& instance, const std::string& file) {
    instanceName = instance;
    choicesFile = file;
}

std::string CConfiguration::ApplicationName(const std::string& instance) {
    return instance.empty() ? std::string(kApplication) : std::string(kApplication) + "-" + instance;
}

static std::unique_ptr<QSettings> OpenSettings() {
    if (!choicesFile.empty())
        return std::make_unique<QSettings>(QString::fromStdString(choicesFile), QSettings::IniFormat);
    return std::make_unique<QSettings>(kOrganisation,
                                       QString::fromStdString(CConfiguration::ApplicationName(instanceName)));
}

// An empty text names nothing: as if it were not stored.
static std::optional<std::string> ReadText(const QSettings& settings, const char* name) {
    const QString text = settings.value(name).toString().trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text.toStdString();
}

// Only whole numbers count, as a 32-bit value of the registry would.
static std::optional<int> ReadWholeNumber(const QSettings& settings, const char* name) {
    QVariant value = settings.value(name);
    if (!value.isValid()) return std::nullopt;
    bool ok = false;
    int number = value.toString().trimmed().toInt(&ok);
    if (!ok) return std::nullopt;
    return number;
}

StoredChoices CConfiguration::Load() {
    std::unique_ptr<QSettings> opened = OpenSettings();
    QSettings& settings = *opened;
    StoredChoices choices;
    choices.listen = ReadText(settings, "Listen");
    choices.output = ReadText(settings, "Output");
    choices.source = ReadText(settings, "Source");
    if (auto start = ReadWholeNumber(settings, "Start"))
        choices.start = *start != 0;
    if (auto record = ReadWholeNumber(settings, "Record"))
        choices.record = *record != 0;
    choices.decodePictures = ReadText(settings, "DecodePictures");
    choices.idleTimeout = ReadWholeNumber(settings, "IdleTimeout");
    choices.lipSync = ReadWholeNumber(settings, "LipSync");
    choices.receiveLatency = ReadWholeNumber(settings, "ReceiveLatency");
    if (QVariant folder = settings.value("RecordFolder"); folder.isValid())
        choices.recordFolder = folder.toString().toStdString();
    if (QVariant targets = settings.value("PublishTargets"); targets.isValid()) {
        choices.publishTargets.emplace();
        for (const QString& target : targets.toStringList())
            if (!target.trimmed().isEmpty())
                choices.publishTargets->push_back(target.trimmed().toStdString());
    }
    choices.metricsPort = ReadWholeNumber(settings, "MetricsPort");
    if (QVariant address = settings.value("MetricsAddress"); address.isValid())
        choices.metricsAddress = address.toString().trimmed().toStdString();
    if (QVariant allowed = settings.value("Allow"); allowed.isValid()) {
        // A list, or one text of entries with commas (quoted in the file).
        choices.allowed.emplace();
        for (const QString& item : allowed.toStringList())
            for (const QString& entry : item.split(','))
                if (!entry.trimmed().isEmpty())
                    choices.allowed->push_back(entry.trimmed().toStdString());
    }
    if (auto instruments = ReadWholeNumber(settings, "FullScreenInstruments"))
        choices.fullScreenInstruments = *instruments != 0;
    choices.pictureFrozenSeconds = ReadWholeNumber(settings, "PictureFrozenSeconds");
    choices.pictureBlackSeconds = ReadWholeNumber(settings, "PictureBlackSeconds");
    choices.programmeSilentSeconds = ReadWholeNumber(settings, "ProgrammeSilentSeconds");
    choices.returnSilentSeconds = ReadWholeNumber(settings, "ReturnSilentSeconds");
    choices.pictureBlackLevel = ReadWholeNumber(settings, "PictureBlackLevel");
    choices.silenceLevel = ReadWholeNumber(settings, "SilenceLevel");
    auto full = ReadWholeNumber(settings, "Full");
    if (!full) return choices;
    choices.full = *full != 0;
    choices.audioSource = ReadWholeNumber(settings, "AudioSource");
    return choices;
}

void CConfiguration::Save(bool full, int audioSource, int idleTimeout, int lipSync) {
    std::unique_ptr<QSettings> opened = OpenSettings();
    QSettings& settings = *opened;
    settings.setValue("Full", full ? 1 : 0);
    settings.setValue("AudioSource", audioSource);
    settings.setValue("IdleTimeout", idleTimeout);
    settings.setValue("LipSync", lipSync);
    settings.sync();
}

void CConfiguration::SaveReceiveLatency(int milliseconds) {
    std::unique_ptr<QSettings> opened = OpenSettings();
    QSettings& settings = *opened;
    settings.setValue("ReceiveLatency", milliseconds);
    settings.sync();
}

void CConfiguration::SaveDisplay(bool fullScreenInstruments) {
    std::unique_ptr<QSettings> opened = OpenSettings();
    QSettings& settings = *opened;
    settings.setValue("FullScreenInstruments", fullScreenInstruments ? 1 : 0);
    settings.sync();
}

void CConfiguration::SaveFeed(const std::string& recordFolder,
                              const std::vector<std::string>& publishTargets) {
    std::unique_ptr<QSettings> opened = OpenSettings();
    QSettings& settings = *opened;
    settings.setValue("RecordFolder", QString::fromStdString(recordFolder));
    QStringList targets;
    for (const std::string& target : publishTargets)
        targets << QString::fromStdString(target);
    settings.setValue("PublishTargets", targets);
    settings.sync();
}

void CConfiguration::SaveNames(const std::optional<std::string>& listen,
                               const std::optional<std::string>& output,
                               const std::optional<std::string>& source) {
    std::unique_ptr<QSettings> opened = OpenSettings();
    QSettings& settings = *opened;
    if (listen)
        settings.setValue("Listen", QString::fromStdString(*listen));
    if (output)
        settings.setValue("Output", QString::fromStdString(*output));
    if (source)
        settings.setValue("Source", QString::fromStdString(*source));
    settings.sync();
}

CAlarmPolicy::Thresholds AlarmThresholds(const StoredChoices& choices) {
    CAlarmPolicy::Thresholds alarms;
    const std::optional<int> seconds[CAlarmPolicy::kKinds] = {
        choices.pictureFrozenSeconds, choices.pictureBlackSeconds, choices.programmeSilentSeconds,
        choices.returnSilentSeconds};
    for (size_t k = 0; k < alarms.seconds.size(); ++k)
        if (seconds[k] && *seconds[k] >= 0 && *seconds[k] <= 3600)
            alarms.seconds[k] = *seconds[k];
    if (choices.pictureBlackLevel && *choices.pictureBlackLevel >= 0 &&
        *choices.pictureBlackLevel <= 100)
        alarms.blackLevel = *choices.pictureBlackLevel;
    if (choices.silenceLevel && *choices.silenceLevel >= int(CLevelMeter::kFloor) &&
        *choices.silenceLevel <= 0)
        alarms.silenceDb = *choices.silenceLevel;
    return alarms;
}

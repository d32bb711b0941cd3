#include "CConfiguration.h"

#include <QSettings>

static constexpr char kOrganisation[] = "Norvik";
static constexpr char kApplication[] = "Lumenfeed";

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
    QSettings settings(kOrganisation, kApplication);
    StoredChoices choices;
    choices.idleTimeout = ReadWholeNumber(settings, "IdleTimeout");
    choices.lipSync = ReadWholeNumber(settings, "LipSync");
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
    QSettings settings(kOrganisation, kApplication);
    settings.setValue("Full", full ? 1 : 0);
    settings.setValue("AudioSource", audioSource);
    settings.setValue("IdleTimeout", idleTimeout);
    settings.setValue("LipSync", lipSync);
    settings.sync();
}

void CConfiguration::SaveDisplay(bool fullScreenInstruments) {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue("FullScreenInstruments", fullScreenInstruments ? 1 : 0);
    settings.sync();
}

void CConfiguration::SaveFeed(const std::string& recordFolder,
                              const std::vector<std::string>& publishTargets) {
    QSettings settings(kOrganisation, kApplication);
    settings.setValue("RecordFolder", QString::fromStdString(recordFolder));
    QStringList targets;
    for (const std::string& target : publishTargets)
        targets << QString::fromStdString(target);
    settings.setValue("PublishTargets", targets);
    settings.sync();
}

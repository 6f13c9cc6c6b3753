// tvsim_library.cpp - the generated library: realistic recordings, newest first, some in progress.
#include <cstdint>

#include "tvsim.h"

namespace {

struct Programme {
    const char* title;
    const char* genre;
};

// Films, documentaries and shows of a viewer who records in several languages. Accented
// letters and a dash or two make multi-byte characters, as real programme guides have them.
constexpr Programme kProgrammes[] = {
    {"Café Society", "Comedy"},
    {"Les Misérables", "Drama"},
    {"Das Boot", "War"},
    {"Die fabelhafte Welt der Amélie", "Comedy"},
    {"Nachrichten über Österreich", "News"},
    {"Smørrebrød und Hygge: Dänemark kulinarisch", "Documentary"},
    {"El Niño – Wetter im Wandel", "Documentary"},
    {"Zürich bei Nacht", "Documentary"},
    {"Jean de Florette", "Drama"},
    {"Manon des Sources", "Drama"},
    {"Ärger im Paradies", "Comedy"},
    {"Die Brücke am Fluss", "Drama"},
    {"Björk – Live in Reykjavík", "Music"},
    {"Málaga: Stadt am Meer", "Documentary"},
    {"Fußball: Bundesliga kompakt", "Sport"},
    {"Le Dîner de Cons", "Comedy"},
    {"Crème de la Crème", "Comedy"},
    {"Götterdämmerung aus Bayreuth", "Music"},
    {"Mord in Fjällbacka", "Crime"},
    {"La Niña de tus ojos", "Drama"},
    {"Tagesschau", "News"},
    {"Quo vadis, Europa?", "Documentary"},
    {"Çanakkale 1915", "History"},
    {"Ein Sommer in Åre", "Romance"},
};

struct Series {
    const char* title;
    const char* genre;
    const char* episodes[4];
};

constexpr Series kSeries[] = {
    {"Tatort", "Crime", {"Schüsse im Morgengrauen", "Der Fluch des Müllers", "Tödliche Häppchen", "Côte d'Azur"}},
    {"Der Bergdoktor", "Drama", {"Herzensbrecher", "Lawinengefahr", "Schöne Grüße aus Tirol", "Blütenträume"}},
    {"Les Revenants", "Mystery", {"Camille", "Simon", "Julie", "Victor"}},
    {"Forbrydelsen", "Crime", {"Dag 1", "Skjulte spor", "Kørsel i mørke", "Sandhedens time"}},
    {"La casa de papel", "Thriller", {"Efectuar lo acordado", "Imprudencias letales", "Errar al disparar", "Cabeza de caballo"}},
    {"Polizeiruf 110", "Crime", {"Söhne Rostocks", "Für Janina", "Äquator", "Die Lüge, die wir Zukunft nennen"}},
    {"Borgen", "Drama", {"Dekorum", "Forræderi", "Det første hold", "Nøgne mænd"}},
};

// Sentences of programme descriptions; a description is a run of them.
constexpr const char* kSentences[] = {
    "Kommissarin Lürsen ermittelt in einem Fall, der sie weit über die Grenzen Bremens hinausführt.",
    "Als ein Zeuge aus Köln plötzlich verschwindet, gerät das Team unter großen Zeitdruck.",
    "Dans un petit village de Provence, les habitants se préparent à une fête qui tournera mal.",
    "Der Film erzählt von Freundschaft, Verrat und der Frage, was im Leben wirklich zählt.",
    "Ein Blick hinter die Kulissen der größten Bühnen Europas, mit Gesprächen über Musik und Ruhm.",
    "La historia sigue a una familia de Málaga durante un verano que cambiará sus vidas para siempre.",
    "Nach einer wahren Begebenheit: Im Winter 1944 kämpft die Besatzung ums Überleben.",
    "Die Reportage begleitet Fischer an der Küste Dänemarks und zeigt, wie der Klimawandel ihr Leben verändert.",
    "Eine Köchin aus Zürich wagt den Neuanfang und eröffnet ein Bistro an der Côte d'Azur.",
    "Mit brillanten Dialogen und großartigen Darstellern ist der Film ein Klassiker des französischen Kinos.",
    "Der Moderator führt durch einen Abend voller Überraschungen, Gäste und Live-Musik.",
    "Sie nennen ihn \"den Professor\": einen Mann, der den perfekten Plan ausgeheckt hat.",
    "Spektakuläre Aufnahmen zeigen die Fjorde Norwegens, die Gletscher Islands und die Wälder Schwedens.",
    "Originalfassung mit Untertiteln; im Anschluss ein Gespräch mit der Regisseurin Agnès Varda.",
    "Wiederholung vom Montag. Altersfreigabe: ab 12 Jahren. Stereo, 16:9, HD.",
    "Zwei Brüder, ein Erbe und ein Geheimnis, das die ganze Familie in Atem hält.",
};

// One-line descriptions for lists that must stay small.
constexpr const char* kShortSentences[] = {
    "Wiederholung vom Vortag.",
    "Spielfilm, Frankreich 1986.",
    "Neue Folge über Österreich.",
    "Dokumentation, 45 Min.",
    "Krimi, Deutschland 2024.",
};

constexpr int kChannels[] = {5, 3, 1, 7, 2, 4, 6};
constexpr int kMinutes[] = {25, 45, 60, 90, 105, 120, 150, 180};
constexpr size_t kLongest = 1500;
constexpr size_t kShortest = 300;

template <typename T, size_t N>
constexpr size_t count_of(const T (&)[N]) { return N; }

// A fixed scramble of an index, so that the same shape always gives the same library.
uint32_t scramble(uint32_t index, uint32_t salt) {
    uint32_t x = index * 0x9E3779B9u + salt;
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

std::string description(uint32_t i, bool short_text) {
    if (short_text) return kShortSentences[scramble(i, 1) % count_of(kShortSentences)];
    size_t target = kShortest + scramble(i, 2) % (1400 - kShortest + 1);
    std::string text;
    uint32_t next = scramble(i, 3);
    while (text.size() < target) {
        std::string sentence = kSentences[next++ % count_of(kSentences)];
        if (text.size() >= kShortest && text.size() + 1 + sentence.size() > kLongest) break;
        if (!text.empty()) text += ' ';
        text += sentence;
    }
    return text;
}

}  // namespace

std::vector<SimRecording> library_recordings(const LibraryShape& shape) {
    std::vector<SimRecording> list;
    long long oldest_in_progress = 0;
    for (int n = 0; n < shape.count; n++) {
        uint32_t i = static_cast<uint32_t>(n);
        SimRecording r;
        long long minutes = kMinutes[scramble(i, 4) % count_of(kMinutes)];
        if (n < shape.in_progress) {
            // Started minutes ago, one after the other, each still running for a while.
            r.start = -(600 + 1500LL * n + scramble(i, 5) % 300);
            r.end = r.start + minutes * 60;
            if (r.end < 600) r.end = 600 + 60LL * n;
            r.recording = true;
            r.channel = kChannels[static_cast<size_t>(n) % count_of(kChannels)];
            oldest_in_progress = r.start;
        } else {
            // Past recordings, about five hours apart, the newest first; each ended long ago.
            long long base = oldest_in_progress - 4 * 3600;
            r.start = base - 18000LL * (n - shape.in_progress) - scramble(i, 5) % 7200;
            r.end = r.start + minutes * 60;
            r.channel = kChannels[scramble(i, 6) % count_of(kChannels)];
        }
        bool series = shape.series_every > 0 && (n + 1) % shape.series_every == 0;
        if (series) {
            const Series& s = kSeries[scramble(i, 7) % count_of(kSeries)];
            r.title = s.title;
            r.genre = s.genre;
            r.episode = true;
            r.episode_name = s.episodes[scramble(i, 8) % 4];
            r.episode_number = std::to_string(1 + scramble(i, 9) % 24);
            r.episode_part = std::to_string(1 + scramble(i, 10) % 2);
            r.series_number = std::to_string(1 + scramble(i, 11) % 12);
        } else {
            const Programme& p = kProgrammes[scramble(i, 7) % count_of(kProgrammes)];
            r.title = p.title;
            r.genre = p.genre;
        }
        r.description = description(i, shape.short_text);
        list.push_back(r);
    }
    return list;
}

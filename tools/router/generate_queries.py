#!/usr/bin/python3
"""Generates the router's labelled query set from templates and curated word lists.

Each query carries the set of data sources that should answer it (maps, weather,
dictionary, knowledge, messages, files; an empty set for queries none of them
should answer: app names, calculations, contacts, emoji words). The generator
is deterministic for a given seed. Output: JSON lines {"text": ..., "labels": [...]}.
"""
import json
import random
import sys

SOURCES = ["maps", "weather", "dictionary", "knowledge", "messages", "files"]

CITIES = ["paris", "london", "berlin", "tokyo", "new york", "san francisco", "madrid", "rome", "lisbon", "oslo",
          "seattle", "chicago", "boston", "austin", "denver", "sydney", "melbourne", "toronto", "vancouver", "dublin",
          "amsterdam", "prague", "vienna", "zurich", "munich", "barcelona", "milan", "athens", "istanbul", "cairo",
          "nairobi", "mumbai", "delhi", "bangkok", "singapore", "seoul", "osaka", "kyoto", "mexico city", "lima",
          "bogota", "santiago", "montreal", "portland", "miami", "atlanta", "phoenix", "stockholm", "helsinki",
          "copenhagen", "edinburgh", "manchester", "lyon", "marseille", "nice", "hamburg", "cologne", "brussels",
          "reykjavik", "cape town", "auckland", "honolulu", "las vegas", "san diego", "dallas", "houston", "zermatt",
          "chamonix", "kraków", "são paulo", "montréal", "zürich", "málaga", "tromsø", "córdoba", "genève"]
PLACES = ["pharmacy", "gas station", "train station", "airport", "supermarket", "bakery", "hospital", "post office",
          "library", "gym", "museum", "park", "bank", "hotel", "pizza place", "sushi bar", "bookstore", "cinema",
          "parking", "ev charging station", "hardware store", "vet", "dentist", "bus stop", "subway station",
          "ice cream shop", "bar", "pub", "laundromat", "beach", "hiking trail", "zoo", "stadium", "mall",
          "farmers market", "tea house", "bike shop", "car wash", "ramen shop", "taco truck", "brewery"]
STREETS = ["main street", "5th avenue", "baker street", "market st", "oak avenue", "elm street", "broadway",
           "sunset boulevard", "rue de rivoli", "king street", "high street", "park lane", "mission st",
           "10 downing street", "221b baker street", "1600 pennsylvania ave", "500 terry francois st"]
WEATHER_TIMES = ["today", "tomorrow", "tonight", "this weekend", "on monday", "on friday", "next week", "this morning",
                 "this afternoon", "right now", "in the next hour", "saturday", "sunday evening", "later"]
WORDS = ["serendipity", "ubiquitous", "ephemeral", "quixotic", "pernicious", "laconic", "sycophant", "obfuscate",
         "petrichor", "melancholy", "cogent", "esoteric", "gregarious", "juxtaposition", "loquacious", "mellifluous",
         "nefarious", "obsequious", "paradigm", "quintessential", "resilient", "sanguine", "tenacious", "ubiquity",
         "vicarious", "wistful", "zealous", "ambiguous", "benevolent", "candor", "diligent", "eloquent", "frugal",
         "hubris", "idiosyncrasy", "jubilant", "kinetic", "lethargic", "meticulous", "nostalgia", "onomatopoeia",
         "pragmatic", "recalcitrant", "schadenfreude", "truculent", "umbrage", "verbose", "whimsical", "xenophobia",
         "yearn", "zeitgeist", "apathy", "brevity", "catharsis", "dichotomy", "empathy", "facetious", "gratuitous",
         "hegemony", "insidious", "juxtapose", "kitsch", "lucid", "mundane", "nuance", "ostensibly", "penchant",
         "quandary", "rhetoric", "stoic", "tangential", "unequivocal", "vex", "wanderlust", "affect", "effect",
         "irony", "sonder", "liminal", "halcyon", "ineffable", "plethora", "cacophony", "anachronism", "epitome",
         "gist", "hyperbole", "malaise", "panacea", "debacle", "fiasco", "ennui", "naïve", "café", "résumé",
         "fiancé", "déjà vu", "cliché", "soirée"]
TOPICS = ["albert einstein", "the roman empire", "photosynthesis", "the french revolution", "marie curie",
          "quantum mechanics", "the eiffel tower", "world war ii", "the great wall of china", "black holes",
          "leonardo da vinci", "the moon landing", "ancient egypt", "the renaissance", "isaac newton", "dna",
          "the internet", "climate change", "the byzantine empire", "shakespeare", "mount everest", "the amazon river",
          "napoleon", "the cold war", "cleopatra", "the industrial revolution", "plate tectonics", "the beatles",
          "ada lovelace", "alan turing", "the printing press", "the silk road", "jupiter", "the big bang",
          "evolution", "the olympic games", "buddhism", "the pyramids of giza", "abraham lincoln", "nelson mandela",
          "the ottoman empire", "artificial intelligence", "the stock market crash of 1929", "vincent van gogh",
          "the vikings", "the aztecs", "frida kahlo", "the higgs boson", "antarctica", "the mongol empire",
          "galileo galilei", "the apollo program", "the magna carta", "mozart", "beethoven", "the cell nucleus",
          "the periodic table", "the dead sea scrolls", "machu picchu", "the taj mahal", "the hundred years war"]
PEOPLE = ["mom", "dad", "sarah", "alex", "john", "emma", "mike", "lisa", "tom", "anna", "david", "kate", "chris",
          "jessica", "ben", "sophie", "dan", "olivia", "james", "maria", "my sister", "my brother", "the landlord",
          "my boss", "grandma", "jake", "nina", "omar", "priya", "lucas", "chen", "yuki", "pierre", "zoé"]
MSG_TOPICS = ["dinner", "the party", "the flight", "rent", "the meeting", "the trip", "the wifi password",
              "the address", "birthday plans", "the concert tickets", "the game", "lunch", "the deadline",
              "the movie", "the wedding", "the car", "the keys", "the doctor appointment", "the project",
              "the hotel booking", "the photos", "the recipe", "holiday plans", "the invoice"]
FILE_NAMES = ["budget", "resume", "invoice", "report", "notes", "presentation", "contract", "thesis", "draft",
              "meeting notes", "tax return", "roadmap", "design doc", "readme", "changelog", "spec sheet",
              "quarterly results", "lease agreement", "cover letter", "project plan", "slides", "receipt",
              "screenshot", "backup", "config", "schedule", "expenses", "proposal", "manuscript", "timesheet"]
EXTS = ["pdf", "docx", "xlsx", "txt", "md", "csv", "pptx", "json", "yaml", "py", "cpp", "h", "swift", "js", "ts",
        "rs", "go", "java", "png", "jpg", "zip", "html", "css", "sql", "sh", "toml", "key", "pages", "numbers"]
CODE_THINGS = ["networking", "parser", "tokenizer", "http client", "database layer", "auth", "login screen",
               "cache", "scheduler", "logger", "renderer", "router", "serializer", "hnsw index", "settings view",
               "build script", "unit tests", "api handler", "websocket", "queue", "thread pool", "json decoder"]
LANGS = ["swift", "python", "c++", "rust", "go", "javascript", "typescript", "java", "kotlin", "ruby"]
APPS = ["safari", "chrome", "firefox", "slack", "spotify", "terminal", "xcode", "vs code", "visual studio code",
        "zoom", "discord", "notion", "obsidian", "figma", "photoshop", "blender", "gimp", "vlc", "steam", "mail",
        "calendar app", "system settings", "activity monitor", "libreoffice", "thunderbird", "telegram", "signal",
        "whatsapp", "calculator", "preview", "finder", "nautilus", "gnome terminal", "kitty", "alacritty",
        "emacs", "vim", "neovim", "inkscape", "krita", "audacity", "obs", "docker desktop", "postman", "1password",
        "bitwarden", "keepassxc", "evince", "okular", "dolphin", "konsole", "htop", "transmission", "rhythmbox"]
EMOJI_WORDS = ["smile", "heart", "thumbs up", "fire", "party popper", "crying laughing", "rocket", "cat face",
               "dog", "pizza", "unicorn", "sparkles", "100", "clapping hands", "eyes", "skull", "rainbow",
               "sun with face", "snowman", "tada", "wink", "shrug", "facepalm", "poop", "ghost", "star struck",
               "red heart", "broken heart", "hug", "pray", "ok hand", "wave", "flag germany", "beer", "coffee cup",
               "cake", "balloon", "thinking face", "money bag", "check mark"]
FIRST = ["anna", "ben", "carla", "daniel", "elena", "felix", "greta", "hugo", "ines", "jonas", "karim", "lea",
         "marco", "nora", "oscar", "paula", "quentin", "rosa", "sven", "tara", "ugo", "vera", "walter", "xenia",
         "yara", "zane", "ahmed", "björn", "chloé", "diego", "fatima", "hiro", "ivan", "leila", "mateo", "noah"]
LAST = ["smith", "müller", "garcia", "rossi", "dubois", "nguyen", "kim", "jansen", "novak", "silva", "cohen",
        "schmidt", "tanaka", "kowalski", "andersson", "o'brien", "murphy", "lopez", "patel", "ivanova"]
UNITS = [("km", "miles"), ("kg", "lb"), ("usd", "eur"), ("eur", "gbp"), ("celsius", "fahrenheit"),
         ("inches", "cm"), ("liters", "gallons"), ("mph", "km/h"), ("gb", "mb"), ("ounces", "grams")]
MISC = ["todo", "timer 10 minutes", "set alarm 7am", "screenshot", "lock screen", "volume up", "brightness",
        "restart", "shutdown", "sleep", "empty trash", "wifi", "bluetooth", "dark mode", "do not disturb",
        "clipboard", "emoji", "new note", "new email", "play music", "pause", "next track", "battery",
        "color picker", "password generator", "uuid", "lorem ipsum", "stopwatch", "focus mode", "night shift"]


def pick(rng, xs):
    return xs[rng.randrange(len(xs))]


def maps_query(rng):
    c, p, s = pick(rng, CITIES), pick(rng, PLACES), pick(rng, STREETS)
    return pick(rng, [
        f"directions to {p}", f"{p} near me", f"nearest {p}", f"how do i get to {c}", f"how to get to {s}",
        f"{p} in {c}", f"best {p} in {c}", f"coffee near {s}", f"route to {c}", f"drive to {c}",
        f"walk to the {p}", f"map of {c}", f"where is the {p}", f"open {p} nearby", f"{s} {c}",
        f"{p} around here", f"closest {p}", f"how far is {c} from here", f"distance to {c}", f"transit to {s}",
        f"navigate to {s}", f"{p}s open now", f"find a {p}", f"restaurants in {c}", f"atm near {s}",
        f"where can i park near {s}", f"is there a {p} close by", f"take me to {s}", f"{c} {p}",
        f"address of the {p}", f"cheap {p} downtown", f"{p} open late", f"show {s} on the map",
        f"bike route to {p}", f"train to {c}", f"how long to drive to {c}", f"good {p} around {s}",
    ])


def weather_query(rng):
    c, t = pick(rng, CITIES), pick(rng, WEATHER_TIMES)
    return pick(rng, [
        f"weather {t}", f"weather in {c}", f"weather {c} {t}", f"{c} weather", f"forecast for {c}",
        f"will it rain {t}", f"is it going to rain in {c}", f"do i need an umbrella {t}", f"how cold is it in {c}",
        f"how hot will it be {t}", f"temperature in {c}", f"is it snowing in {c}", f"will it snow {t}",
        f"uv index {t}", f"humidity in {c}", f"wind speed {c}", f"sunny {t}?", f"should i wear a jacket {t}",
        f"is it cold outside", f"rain {t}", f"storm in {c} {t}", f"degrees outside", f"what's it like outside in {c}",
        f"sunrise {t}", f"sunset in {c}", f"air quality {c}", f"is it hot in {c} {t}", f"chance of rain {t}",
        f"will it be windy {t}", f"frost {t}", f"heatwave in {c}", f"thunderstorms {t}", f"how warm is {c}",
        f"is it nice out {t}", f"clouds over {c} {t}", f"{c} forecast {t}",
    ])


def dictionary_query(rng):
    w = pick(rng, WORDS)
    return pick(rng, [
        f"define {w}", f"{w} definition", f"def {w}", f"meaning of {w}", f"what does {w} mean",
        f"{w} meaning", f"synonym for {w}", f"synonyms of {w}", f"antonym of {w}", f"{w} etymology",
        f"how to spell {w}", f"how do you pronounce {w}", f"{w} pronunciation", f"is {w} a word",
        f"another word for {w}", f"what's the meaning of {w}", f"{w} in a sentence", f"origin of the word {w}",
        f"dictionary {w}", f"spell {w}", f"{w} adjective", f"plural of {w}", f"{w} vs {pick(rng, WORDS)}",
        f"opposite of {w}", f"what is a word for {w}",
    ])


def knowledge_query(rng):
    t = pick(rng, TOPICS)
    return pick(rng, [
        f"who is {t}", f"what is {t}", f"history of {t}", f"facts about {t}", f"tell me about {t}",
        f"overview of {t}", f"who was {t}", f"when was {t}", f"{t} wikipedia", f"{t} biography",
        f"how does {t} work", f"why did {t} happen", f"where is {t}", f"how old is {t}", f"explain {t}",
        f"summary of {t}", f"{t} facts", f"what caused {t}", f"who invented {t}", f"{t}",
        f"when did {t} start", f"how tall is {t}", f"what happened during {t}", f"importance of {t}",
        f"learn about {t}",
    ])


def messages_query(rng):
    p, m = pick(rng, PEOPLE), pick(rng, MSG_TOPICS)
    return pick(rng, [
        f"what did {p} say about {m}", f"messages from {p}", f"texts from {p}", f"when was i last texting {p}",
        f"did i text {p}", f"conversation with {p}", f"what did {p} send me", f"{p} texted me about {m}",
        f"chat with {p} about {m}", f"when did {p} message me", f"last message from {p}",
        f"what time did {p} say", f"plans this weekend", f"did {p} reply", f"{p} said {m}",
        f"what did {p} tell me about {m}", f"find the text about {m}", f"imessage {p} {m}",
        f"sms from {p}", f"who sent me {m}", f"what was {p}'s reply about {m}", f"recall chat about {m}",
        f"the link {p} sent", f"{p} mentioned {m}", f"what did we decide about {m}", f"did {p} confirm {m}",
    ])


def files_query(rng):
    f, e, c, l = pick(rng, FILE_NAMES), pick(rng, EXTS), pick(rng, CODE_THINGS), pick(rng, LANGS)
    return pick(rng, [
        f"{f}.{e}", f"{f} {e}", f"open {f}.{e}", f"find {f} {e}", f"my {f} pdf", f"{f} file",
        f"where is my {f}", f"{c} code", f"{c} module", f"{c} class", f"{l} {c}", f"the {c} function",
        f"{c} source", f"{c} repo", f"path to {f}", f"{f} document", f"{f} spreadsheet", f"{f} from last week",
        f"latest {f}", f"{f} draft v2", f"{c} implementation", f"{c}.{pick(rng, ['swift', 'py', 'cpp', 'rs'])}",
        f"kind:{e} {f}", f"{f} in downloads", f"{f} folder", f"{l} file for {c}", f"scanned {f}",
        f"{f} 2023", f"{c} tests", f"where did i save the {f}", f"notes on {c}", f"{f} docx", f"{f} xlsx",
    ])


def none_query(rng):
    a = pick(rng, APPS)
    n = rng.randrange(2, 999)
    u = pick(rng, UNITS)
    first, last = pick(rng, FIRST), pick(rng, LAST)
    return pick(rng, [
        a, a, a, f"open {a}", f"launch {a}", f"{a} preferences", f"quit {a}", a.split(" ")[0][:4],
        f"{n} + {rng.randrange(1, 99)}", f"{n} * {rng.randrange(2, 20)}", f"{n}/{rng.randrange(2, 9)}",
        f"{n}% of {rng.randrange(10, 900)}", f"sqrt {n}", f"{n} {u[0]} to {u[1]}", f"{n} {u[0]} in {u[1]}",
        f"({n} - 3) * 2", f"{n}^2", f"{n} usd in eur", f"{n}.5 * 3",
        f"{first} {last}", first, f"call {first}", f"email {first} {last}", f"{first}'s phone number",
        f"{first} {last} contact", f"birthday {first}",
        pick(rng, EMOJI_WORDS), f"{pick(rng, EMOJI_WORDS)} emoji", f":{pick(rng, EMOJI_WORDS).split(' ')[0]}:",
        pick(rng, MISC), pick(rng, MISC), f"{pick(rng, MISC)} {a}",
    ])


def mixed_query(rng):
    """Queries two sources should answer."""
    c, t = pick(rng, CITIES), pick(rng, WEATHER_TIMES)
    kind = rng.randrange(4)
    if kind == 0:
        return f"weather at the {pick(rng, PLACES)} in {c} {t}", {"weather", "maps"}
    if kind == 1:
        return f"{pick(rng, FILE_NAMES)} {pick(rng, PEOPLE)} sent me", {"messages", "files"}
    if kind == 2:
        return f"history and meaning of {pick(rng, WORDS)}", {"dictionary", "knowledge"}
    return f"directions to {c} and weather {t}", {"maps", "weather"}


GENERATORS = [("maps", maps_query), ("weather", weather_query), ("dictionary", dictionary_query),
              ("knowledge", knowledge_query), ("messages", messages_query), ("files", files_query)]


def perturb(rng, text):
    r = rng.random()
    if r < 0.08:
        return text.capitalize()
    if r < 0.12:
        return text + "?"
    if r < 0.15 and len(text) > 6:
        i = rng.randrange(1, len(text) - 1)  # a typo: drop one character
        return text[:i] + text[i + 1:]
    return text


def generate(count, seed):
    rng = random.Random(seed)
    seen = set()
    out = []
    attempts = 0
    while len(out) < count and attempts < count * 20:
        attempts += 1
        r = rng.random()
        if r < 0.36:
            text, labels = none_query(rng), set()
        elif r < 0.40:
            text, labels = mixed_query(rng)
        else:
            name, gen = GENERATORS[rng.randrange(len(GENERATORS))]
            text, labels = gen(rng), {name}
        text = perturb(rng, text)
        if text in seen:
            continue
        seen.add(text)
        out.append({"text": text, "labels": [s for s in SOURCES if s in labels]})
    return out


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 24000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1234
    for row in generate(count, seed):
        print(json.dumps(row, ensure_ascii=False))


if __name__ == "__main__":
    main()

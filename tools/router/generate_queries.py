#!/usr/bin/python3
"""Generates the router's labelled query set from templates and curated word lists.

Each query carries the set of data sources that should answer it (maps, weather,
dictionary, knowledge, messages, files; an empty set for queries none of them
should answer: app names, calculations, contacts, emoji words). The generator
is deterministic for a given seed. Output: JSON lines {"text": ..., "labels": [...]}.
"""
import json
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import query_families  # noqa: E402

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
              "meeting notes", "tax return", "roadmap", "design doc", "readme", "changelog", "data sheet",
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

# Wider phrasing: questions without keywords, paraphrases, common words for
# synonyms, names from many languages, documents named the way people say them.
PEOPLE_KNOWN = ["charles darwin", "frédéric chopin", "johann sebastian bach", "pablo picasso", "claude monet",
                "rembrandt", "michelangelo", "confucius", "socrates", "plato", "aristotle", "julius caesar",
                "queen victoria", "winston churchill", "mahatma gandhi", "martin luther king", "rosa parks",
                "nikola tesla", "thomas edison", "alexander graham bell", "louis pasteur", "alexander fleming",
                "gregor mendel", "dmitri mendeleev", "niels bohr", "stephen hawking", "carl sagan", "jane austen",
                "charles dickens", "leo tolstoy", "fyodor dostoevsky", "gabriel garcía márquez", "miguel de cervantes",
                "dante alighieri", "victor hugo", "goethe", "franz kafka", "haruki murakami", "akira kurosawa",
                "hayao miyazaki", "ludwig van beethoven", "wolfgang amadeus mozart", "antonio vivaldi", "édith piaf",
                "catherine the great", "peter the great", "joan of arc", "elizabeth i", "henry viii", "louis xiv",
                "charlemagne", "attila the hun", "alexander the great", "hannibal", "tutankhamun", "ramses ii",
                "ibn battuta", "marco polo", "christopher columbus", "ferdinand magellan", "vasco da gama",
                "amelia earhart", "neil armstrong", "yuri gagarin", "valentina tereshkova", "che guevara",
                "fidel castro", "mao zedong", "sun yat-sen", "atatürk", "karl marx", "adam smith", "john locke",
                "immanuel kant", "friedrich nietzsche", "simone de beauvoir", "rené descartes", "blaise pascal",
                "archimedes", "euclid", "pythagoras", "hypatia", "avicenna", "al-khwarizmi", "srinivasa ramanujan",
                "emmy noether", "grace hopper", "tim berners-lee", "linus torvalds", "steve jobs", "bill gates"]
THINGS_KNOWN = ["the sistine chapel", "stonehenge", "the acropolis", "angkor wat", "petra",
                "the golden gate bridge", "the panama canal", "the suez canal", "the brooklyn bridge",
                "the leaning tower of pisa", "the kremlin", "the forbidden city", "the alhambra", "mount fuji",
                "the sahara desert", "the nile", "lake baikal", "the mariana trench", "the great barrier reef",
                "the milky way", "the andromeda galaxy", "mars", "venus", "saturn's rings", "halley's comet",
                "the sun", "a neutron star", "a solar eclipse", "the northern lights", "gravity", "electricity",
                "magnetism", "the immune system", "the human heart", "the brain", "insulin", "antibiotics",
                "the placebo effect", "inflation", "the gold standard", "the european union", "the united nations",
                "nato", "the league of nations", "the treaty of versailles", "the berlin conference",
                "the reformation", "the enlightenment", "the meiji restoration", "the spanish civil war",
                "the korean war", "the vietnam war", "the gulf war", "the fall of constantinople",
                "the battle of hastings", "the boston tea party", "the american civil war", "apartheid",
                "the space race", "the bronze age", "the ice age", "the black death", "the plague of justinian",
                "the first crusade", "the inca empire", "the maya civilization", "mesopotamia", "sparta",
                "the hanseatic league", "the east india company", "bitcoin", "the blockchain", "linux",
                "the world wide web", "the transistor", "the steam engine", "the light bulb", "the compass",
                "the wheel", "paper", "gunpowder", "the olympics", "the nobel prize", "the fifa world cup"]
COUNTRIES = ["france", "japan", "brazil", "india", "egypt", "kenya", "peru", "norway",
             "iceland", "mongolia", "vietnam", "argentina", "chile", "poland", "portugal", "greece", "turkey",
             "morocco", "nigeria", "indonesia", "thailand", "south korea", "new zealand", "switzerland",
             "austria", "finland", "ireland", "mexico", "colombia", "cuba", "ethiopia", "madagascar", "nepal"]
PHENOMENA = ["the ocean salty", "ice slippery", "the moon red during an eclipse",
             "grass green", "the sea level rising", "the earth round", "snow white", "glass transparent"]
MECHANISMS = ["airplanes", "solar panels", "batteries", "refrigerators",
              "tides", "volcanoes", "hurricanes", "magnets", "lasers", "gps",
              "3d printers", "heat pumps", "wind turbines", "submarines", "telescopes", "microwaves"]
BOOKS = ["war and peace", "one hundred years of solitude", "the odyssey", "hamlet", "moby dick",
         "crime and punishment", "the divine comedy", "les misérables", "the little prince", "1984",
         "the great gatsby", "to kill a mockingbird", "faust", "the tale of genji", "the art of war"]
COMMON_WORDS = ["happy", "sad", "big", "small", "fast", "smart", "angry", "beautiful", "important", "difficult",
                "good", "bad", "strong", "tired", "funny", "quiet", "kind", "rich", "cold", "old",
                "begin", "help", "show", "use", "think", "love", "great", "nice", "weird"]
ABBREVIATIONS = ["asap", "fyi", "brb", "imho", "tl;dr", "eta", "rsvp", "diy", "faq", "aka", "lgtm", "afaik"]
PHRASES = ["et cetera", "alma mater", "per se", "status quo", "bona fide", "faux pas", "vice versa", "de facto",
           "zeitgeist", "raison d'être", "in lieu of", "quid pro quo", "deus ex machina", "cul-de-sac"]
DOCUMENTS = ["bank statements", "payslips", "medical records", "insurance papers",
             "wedding photos", "scanned receipts", "birth certificate",
             "rental agreement", "employment contract", "curriculum vitae", "cover letters", "lecture notes",
             "homework", "lab report", "research paper", "grant proposal", "sales figures", "price list",
             "floor plan", "wiring diagram", "user manual", "warranty", "boarding pass", "ticket confirmation",
             "playlist", "podcast episodes", "voice memos", "recordings", "drawings", "sketches", "mockups",
             "wireframes", "logo files", "fonts", "ebooks", "audiobooks", "backups", "dotfiles", "keynote"]
CODE_FILES = ["makefile", "cmakelists", "package.json", "requirements.txt", "cargo.toml",
              "gitignore", ".bashrc", "docker-compose.yml", "index.html", "main.rs", "app.py", "setup.sh",
              "vimrc", "nginx.conf", "crontab", "pom.xml", "build.gradle", "tsconfig", "webpack config"]
SCRIPT_TASKS = ["resizes images", "parses logs", "scrapes prices", "backs up my photos",
                "converts csv to json", "sends emails", "cleans the downloads folder", "syncs my notes"]
CUISINES = ["indian", "vegetarian", "mexican", "chinese", "japanese", "korean", "greek",
            "lebanese", "ethiopian", "turkish", "vietnamese", "french", "spanish", "peruvian"]
MONTHS = ["january", "february", "march", "april", "may", "june", "july", "august", "september", "october",
          "november", "december", "jan", "feb", "sept", "oct"]
DOC_ISSUERS = ["bank", "tax office", "school", "electricity", "water", "phone", "gym", "car", "pension", "university",
               "hospital", "employer", "council", "mortgage"]
DOC_KINDS = ["statement", "bill", "letter", "certificate", "form", "policy", "contract", "invoice", "receipt",
             "confirmation", "application", "notice"]
SUPERLATIVES = [("longest", "river"), ("highest", "mountain"), ("largest", "desert"), ("deepest", "lake"),
                ("biggest", "country"), ("smallest", "country"), ("tallest", "building"), ("oldest", "university"),
                ("largest", "island"), ("hottest", "planet"), ("fastest", "animal"), ("largest", "volcano")]
COUNTS = [("moons", "jupiter"), ("moons", "mars"), ("moons", "neptune"), ("bones", "the human body"),
          ("countries", "africa"), ("states", "the usa"), ("players", "a rugby team"), ("teeth", "an adult"),
          ("hearts", "an octopus"), ("keys", "a piano"), ("symphonies", "beethoven write"), ("elements", "there")]
DISTANCES = [("mars", "the sun"), ("the sun", "earth"), ("pluto", "the sun"), ("venus", "earth"),
             ("the nearest star", "earth")]
FOREIGN_WEATHER = ["météo", "wetter", "tiempo", "meteo", "clima", "väder", "pogoda"]


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


def maps_query_wide(rng):
    c, p, k = pick(rng, CITIES), pick(rng, PLACES), pick(rng, CUISINES)
    return pick(rng, [
        f"{k} food near me", f"{k} restaurant in {c}", f"{k} takeaway open now", f"good {k} place nearby",
        f"{p} open on holidays", f"how long to walk to the {p}",
        f"parking near the {p}", f"is the {p} open", f"any {p} close to me", f"{p} close to here",
        f"where can i find a {p}", f"where can i buy {pick(rng, ['batteries', 'flowers', 'a sim card'])}",
        f"walking route to the {p}", f"public transport to {c}", f"cycling route to the {p}",
        f"{k} in {c}", f"{p}s in {c}", f"cheap hotel in {c}", f"things to do in {c}",
    ])


def weather_query_wide(rng):
    c, t = pick(rng, CITIES), pick(rng, WEATHER_TIMES)
    return pick(rng, [
        f"do i need gloves {t}", f"do i need sunscreen {t}", f"is it icy outside",
        f"how warm is it outside", f"is it going to be hot {t}", f"will it pour {t}", f"any rain {t}",
        f"will it be cloudy in {c} {t}", f"what's the weather {t}",
        f"how's the weather in {c}", f"weather for {t}", f"{pick(rng, FOREIGN_WEATHER)} {c}",
        f"{c} {pick(rng, FOREIGN_WEATHER)}", f"is it raining in {c} right now", f"how many degrees in {c}",
        f"chance of snow {t}", f"fog {t}", f"is there a storm coming", f"forecast",
        f"will it be nice {t} in {c}", f"how chilly will it be {t}",
    ])


def dictionary_query_wide(rng):
    w = pick(rng, WORDS + PHRASES)
    c, a = pick(rng, COMMON_WORDS), pick(rng, ABBREVIATIONS)
    return pick(rng, [
        f"what does {w} mean", f"what does the word {w} mean", f"what is the meaning of {w}",
        f"what is the meaning of the word {w}", f"whats {w} mean", f"wat does {w} mean", f"what does {a} stand for",
        f"what does {a} mean", f"meaning of {a}", f"defintion of {w}", f"deifne {w}", f"defin {w}",
        f"{w} defintion", f"definition of the word {w}", f"what's a synonym for {c}", f"another word for {c}",
        f"synonyms for {c}", f"opposite of {c}", f"antonyms for {c}", f"{c} synonym", f"is {w} a real word",
        f"how do you spell {w}", f"correct spelling of {w}", f"what is the definition of {w}",
        f"{w} means", f"explain the word {w}", f"meaning {w}", f"{w}?", f"definition of {w}", f"def of {w}",
        f"{w} def", f"{w} dictionary",
    ])


def knowledge_query_wide(rng):
    pn, th, co, b = pick(rng, PEOPLE_KNOWN), pick(rng, THINGS_KNOWN), pick(rng, COUNTRIES), pick(rng, BOOKS)
    t = pick(rng, [pn, th])
    return pick(rng, [
        f"who was {pn}", f"who is {pn}", f"{pn}", f"when was {pn} born", f"when did {pn} die",
        f"what did {pn} discover", f"what is {pn} famous for", f"{pn} biography", f"life of {pn}",
        f"{th}", f"how big is {th}", f"how old is {th}", f"how tall is {th}", f"where is {th}",
        f"who built {th}", f"when was {th} built", f"what was {th}", f"how did {th} start", f"why did {th} end",
        f"what caused {th}", f"explain {th}", f"capital of {co}", f"population of {co}",
        f"what is the capital of {co}", f"how many people live in {co}", f"official language of {co}",
        f"currency of {co}", f"history of {co}", f"largest city in {co}", f"who wrote {b}", f"author of {b}",
        f"what is {b} about", f"why is {pick(rng, PHENOMENA)}", f"how do {pick(rng, MECHANISMS)} work",
        f"how does a {pick(rng, MECHANISMS).rstrip('s')} work", f"who invented {pick(rng, THINGS_KNOWN)}",
        f"inventor of {th}", f"who discovered {th}", f"what year did {th} happen", f"facts about {t}",
        f"tell me about {t}", f"{t} history", f"{t} explained", f"wiki {t}", f"wikipedia {t}",
        "{} {} in the world".format(*pick(rng, SUPERLATIVES)), "what is the {} {} on earth".format(*pick(rng, SUPERLATIVES)),
        "which is the {} {}".format(*pick(rng, SUPERLATIVES)), "how many {} does {} have".format(*pick(rng, COUNTS)),
        "how many {} are in {}".format(*pick(rng, COUNTS)), "how far is {} from {}".format(*pick(rng, DISTANCES)),
        "distance between {} and {}".format(*pick(rng, DISTANCES)),
    ])


def messages_query_wide(rng):
    p, m = pick(rng, PEOPLE + FIRST), pick(rng, MSG_TOPICS)
    return pick(rng, [
        f"did {p} text me back", f"did {p} write back", f"has {p} answered", f"what did {p} text me",
        f"{p}'s message about {m}", f"the text {p} sent about {m}", f"open my chat with {p}",
        f"message history with {p}", f"what did the group chat say about {m}", f"who wrote to me about {m}",
        f"has anyone written about {m}", f"what did {p} write about {m}", f"find {p}'s text about {m}",
        f"the photo {p} sent me", f"what was the number {p} sent", f"the address {p} sent",
        f"what time did {p} say we meet", f"did {p} say when", f"{p} said something about {m}",
        f"what did i tell {p} about {m}", f"what did we say about {m}", f"old messages about {m}",
        f"texts with {p} last month", f"sms about {m}",
    ])


def files_query_wide(rng):
    d, cf, l, c = pick(rng, DOCUMENTS), pick(rng, CODE_FILES), pick(rng, LANGS), pick(rng, CITIES)
    f = pick(rng, FILE_NAMES)
    return pick(rng, [
        f"{d}", f"my {d}", f"{d} {rng.randrange(2015, 2026)}", f"{d} from {c}", f"find my {d}",
        f"where are my {d}", f"where did i store the {d}", f"the {d} folder", f"{d} on my desktop",
        f"{d} in documents", f"{cf}", f"open {cf}", f"the {cf} in my project", f"{l} script that {pick(rng, SCRIPT_TASKS)}",
        f"script that {pick(rng, SCRIPT_TASKS)}", f"{f} for the board meeting", f"{f} about {pick(rng, MSG_TOPICS)}",
        f"the {f} i printed", f"{f} i downloaded", f"{f} i edited yesterday", f"photos from {c}",
        f"pictures of {c}", f"scan of my {pick(rng, ['id card', 'driving licence', 'diploma'])}",
        f"slide deck about {pick(rng, MSG_TOPICS)}", f"spreadsheet with {pick(rng, ['expenses', 'grades', 'prices'])}",
        f"word document {f}", f"{f} template", f"{f} v3 final", f"{f} {pick(rng, MONTHS)}",
        f"{f} {pick(rng, MONTHS)} {rng.randrange(2015, 2026)}", f"{f} for {pick(rng, ['tuesday', 'the client', 'school', 'work'])}",
        f"{pick(rng, DOC_ISSUERS)} {pick(rng, DOC_KINDS)}", f"my {pick(rng, DOC_ISSUERS)} {pick(rng, DOC_KINDS)}",
        f"{pick(rng, DOC_ISSUERS)} {pick(rng, DOC_KINDS)} {pick(rng, MONTHS)}",
        f"{pick(rng, ['jenkinsfile', 'procfile', 'license', 'gemfile', 'vagrantfile', 'justfile', 'meson.build'])}",
    ])


def none_query_wide(rng):
    a = pick(rng, APPS)
    first, last = pick(rng, FIRST), pick(rng, LAST)
    n = rng.randrange(2, 999)
    return pick(rng, [
        f"{a} settings", f"start {a}", f"{a} update", a.replace(" ", ""), f"{n} cups in ml", f"{n} f to c",
        f"{n} miles to km", f"convert {n} {pick(rng, UNITS)[0]} to {pick(rng, UNITS)[1]}", f"{n}^{rng.randrange(2, 12)}",
        f"{first} {last}", f"{first} {last}'s email", f"call {first} {last}", f"text {first}",
        f"{first}'s birthday", f"{pick(rng, EMOJI_WORDS)}", f"{pick(rng, MISC)} settings", pick(rng, MISC),
        f"turn off {pick(rng, ['wifi', 'bluetooth', 'notifications'])}", "asdf", "test", "hello",
    ])


GENERATORS = [("maps", maps_query), ("weather", weather_query), ("dictionary", dictionary_query),
              ("knowledge", knowledge_query), ("messages", messages_query), ("files", files_query)]
WIDE_GENERATORS = [("maps", maps_query_wide), ("weather", weather_query_wide), ("dictionary", dictionary_query_wide),
                   ("knowledge", knowledge_query_wide), ("messages", messages_query_wide),
                   ("files", files_query_wide)]


def perturb(rng, text):
    r = rng.random()
    if r < 0.08:
        return text.capitalize()
    if r < 0.12:
        return text + "?"
    if r < 0.15 and len(text) > 6:
        i = rng.randrange(1, len(text) - 1)  # a typo: drop one character
        return text[:i] + text[i + 1:]
    if r < 0.18 and len(text) > 6:
        i = rng.randrange(1, len(text) - 2)  # a typo: swap two characters
        return text[:i] + text[i + 1] + text[i] + text[i + 2:]
    if r < 0.20 and len(text) > 6:
        i = rng.randrange(1, len(text) - 1)  # a typo: double one character
        return text[:i] + text[i] + text[i:]
    return text


def earlier_families_query(rng):
    """One query of the first three families, in their fixed proportions."""
    r = rng.random()
    if r < 0.25:
        return none_query(rng), set()
    if r < 0.30:
        return none_query_wide(rng), set()
    if r < 0.33:
        return mixed_query(rng)
    if r < 0.53:
        name, gen = GENERATORS[rng.randrange(len(GENERATORS))]
        return gen(rng), {name}
    if r < 0.74:
        return query_families.family_query(rng)
    if r < 0.80:
        return query_families.bare_word(rng)
    name, gen = WIDE_GENERATORS[rng.randrange(len(WIDE_GENERATORS))]
    return gen(rng), {name}


def generate(count, seed):
    rng = random.Random(seed)
    seen = set()
    out = []
    attempts = 0
    while len(out) < count and attempts < count * 20:
        attempts += 1
        if rng.random() < 0.22:
            text, labels = query_families.family_query_more(rng)
        else:
            text, labels = earlier_families_query(rng)
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

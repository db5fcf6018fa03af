"""More template families for the router's query set: the shapes new users type that the first families miss.

Bare rare words (the dictionary) and bare concepts (the encyclopedia), commands that open an app and calendar
phrases (no router source: the launcher and the local calendar answer them), questions about what someone said in
a conversation, weather asked without the word, shops and places in named neighbourhoods, pronunciations and slang,
and documents and code files named in more ways. Each family returns (text, labels).
"""

RARE_WORDS = ["abstruse", "bellicose", "cantankerous", "deleterious", "ebullient", "fastidious", "garrulous",
              "impecunious", "inchoate", "magniloquent", "nonplussed", "obstreperous", "pellucid", "querulous",
              "rapacious", "sagacious", "taciturn", "unctuous", "vituperative", "winsome", "acrimony", "alacrity",
              "ameliorate", "anathema", "antediluvian", "apocryphal", "assiduous", "auspicious", "avarice",
              "bombastic", "bucolic", "cajole", "capricious", "circumlocution", "clandestine", "conflagration",
              "contrite", "convivial", "cupidity", "desultory", "diaphanous", "dilettante", "disparate",
              "effervescent", "egregious", "enervate", "equanimity", "erudite", "evanescent", "exacerbate",
              "excoriate", "fatuous", "feckless", "fulsome", "grandiloquent", "harangue", "iconoclast", "impetuous",
              "incorrigible", "indefatigable", "inimical", "insipid", "intransigent", "inveterate", "jocular",
              "lachrymose", "languid", "magnanimity", "maudlin", "mendacious", "mercurial", "munificent", "nascent",
              "nebulous", "obdurate", "officious", "opprobrium", "palliative", "panegyric", "parsimonious",
              "paucity", "penurious", "perfidious", "peripatetic", "phlegmatic", "platitude", "precocious",
              "prevaricate", "probity", "prodigal", "propitious", "puerile", "pugnacious", "quiescent", "quotidian",
              "rancorous", "recondite", "redolent", "reticent", "sardonic", "soporific", "spurious", "supercilious",
              "surreptitious", "temerity", "tenebrous", "torpid", "trenchant", "vacillate", "verisimilitude",
              "vociferous", "wheedle", "zephyr", "obstinacy", "effrontery", "ennoble", "fealty", "gainsay",
              "hirsute", "imbroglio", "jejune", "kowtow", "lassitude", "mawkish", "nadir", "obloquy", "pariah",
              "quagmire", "rigmarole", "sanctimonious", "tumultuous", "unwieldy", "vapid", "wanton", "xenial",
              "zenith", "apoplectic", "brusque", "chicanery", "demagogue", "epiphany", "flummox", "gregariousness",
              "hapless", "inane", "juggernaut", "kerfuffle", "lackadaisical", "moribund", "nonchalant", "onerous",
              "plebeian", "quibble", "rambunctious", "tantamount", "uxorious", "voracious"]
SLANG = ["ghosting", "doomscrolling", "rizz", "salty", "cringe", "stan", "gatekeeping", "mansplaining", "sus",
         "vibe check", "no cap", "boomer", "glow up", "side hustle", "humblebrag", "clickbait", "hangry", "bae"]
DESCRIBED = ["fear of heights", "a group of crows", "someone who loves books", "the smell after rain",
             "fear of small spaces", "a word that reads the same backwards", "love of one's country",
             "a person who walks in their sleep", "the day after tomorrow", "a baby kangaroo", "hatred of mankind"]
CONCEPTS = ["thermodynamics", "relativity", "socialism", "communism", "nihilism", "utilitarianism", "romanticism",
            "cubism", "surrealism", "the baroque", "keynesian economics", "supply and demand", "natural selection",
            "genetics", "neuroscience", "string theory", "dark matter", "globalization", "colonialism", "marxism",
            "liberalism", "humanism", "calculus", "topology", "cryptography", "machine learning", "neural networks",
            "osmosis", "mitosis", "meiosis", "cellular respiration", "the water cycle", "continental drift",
            "the greenhouse effect", "the ozone layer", "the scientific method", "quantum computing",
            "general relativity", "the uncertainty principle", "electromagnetism", "nuclear fusion",
            "nuclear fission", "radioactivity", "superconductivity", "the middle ages", "the stone age",
            "the iron age", "absolutism", "federalism", "anarchism", "confucianism", "hinduism", "taoism",
            "epistemology", "metaphysics", "phenomenology", "behaviorism", "psychoanalysis", "cognitive dissonance",
            "deflation", "recession", "art nouveau", "gothic architecture", "postmodernism", "the reformation",
            "the bauhaus", "mercantilism", "the industrial age", "the cambrian explosion", "symbiosis",
            "homeostasis", "the krebs cycle", "quantum field theory", "the doppler effect", "dark energy",
            "the butterfly effect", "chaos theory", "set theory", "number theory", "probability theory",
            "linguistics", "anthropology", "archaeology", "astrophysics", "biochemistry", "geopolitics",
            "the welfare state", "the cold fusion controversy", "utopian socialism", "social contract theory",
            "the divine right of kings", "the protestant work ethic", "the silk road trade", "the bronze age collapse",
            "pointillism", "expressionism", "minimalism", "dadaism", "the harlem renaissance", "baroque music"]
CONCEPT_FORMS = ["{}", "{}", "{}", "{} explained", "basics of {}", "introduction to {}", "{} summary",
                 "{} in simple terms", "what was {}", "origins of {}", "{} overview", "key ideas of {}"]
APPS_MORE = ["chromium", "brave", "opera", "evolution", "geary", "lutris", "heroic", "shotwell", "darktable",
             "kdenlive", "shotcut", "handbrake", "virtualbox", "remmina", "filezilla", "qbittorrent",
             "libreoffice impress", "gedit", "kate", "gnome text editor", "cheese", "control center",
             "software center", "disk usage analyzer", "system monitor", "teams", "skype", "element", "clock",
             "the settings", "image viewer", "document viewer", "music player",
             "video player", "the browser", "my email", "the mail client", "password manager", "screenshot tool",
             "the printer settings", "wine", "android studio", "intellij", "pycharm", "sublime text", "zed", "warp",
             "wireshark", "gparted", "baobab", "flatpak", "synaptic", "jellyfin", "plex", "mpv", "celluloid"]
OPEN_VERBS = ["open", "open", "launch", "start", "run", "fire up", "bring up", "switch to", "open up", "show",
              "launch the", "open the", "start the", "please open", "can you open", "go to"]
EVENT_WORDS = ["events", "meetings", "appointments", "my meetings", "my events", "my appointments", "calls",
               "my calendar", "calendar", "schedule", "my schedule", "agenda", "my agenda", "anything scheduled",
               "what's on", "what's scheduled", "what do i have", "am i free", "am i busy", "do i have anything",
               "any meetings", "free slots", "calendar events", "reminders", "deadlines"]
CAL_TIMES = ["today", "tomorrow", "tonight", "this week", "next week", "this weekend", "next weekend", "on monday",
             "on tuesday", "on wednesday", "on thursday", "on friday", "on saturday", "on sunday", "monday",
             "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday", "friday afternoon",
             "tomorrow morning", "next month", "on the 3rd", "on the 21st", "at 3pm", "at 10", "this afternoon",
             "in march", "in june", "later today", "after lunch", "this evening", "on christmas eve", "before noon"]
EVENT_NAMES = ["dentist appointment", "doctor's appointment", "team meeting", "standup", "one on one",
               "haircut", "job interview", "parent teacher meeting", "yoga class", "flight", "dinner reservation",
               "board meeting", "sprint review", "retro", "all hands", "offsite", "vet appointment", "exam",
               "piano lesson", "training session", "webinar", "kickoff", "check-up", "meetup"]
WHO = ["mom", "dad", "sarah", "alex", "the team", "my manager", "the client", "emma", "tom", "lisa", "raj",
       "the recruiter", "my therapist", "jonas", "mei", "carlos", "the landlord", "hannah", "ivan", "sophie"]
SAY_VERBS = ["mention", "say", "tell me", "write", "reply", "answer", "confirm", "ask", "suggest", "decide"]
SHARED_THINGS = ["link", "code", "number", "recipe", "photo", "video", "playlist", "book title", "song", "podcast",
                 "door code", "pin", "voice note", "screenshot", "booking reference", "invite", "meme", "location"]
CHAT_APPS = ["whatsapp", "signal", "telegram", "imessage", "the group chat", "our chat", "the family group",
             "messenger", "sms", "the work chat", "discord", "slack"]
SUBJECTS = ["the deadline", "the party", "the flight", "the car", "the kids", "the rent", "the game", "tonight",
            "saturday", "the trip", "the present", "the budget", "the dog", "the move", "the repairs", "the exam"]
WEATHER_ASKS = ["will it be hot {t}", "is it going to be cold {t}", "will it be warm {t}", "will it be chilly {t}",
                "do i need a coat {t}", "do i need a jacket {t}", "do i need a scarf {t}", "do i need a raincoat {t}",
                "do i need boots {t}", "should i bring an umbrella {t}", "umbrella {t}?",
                "will it freeze {t}", "is it going to storm {t}", "will there be a storm {t}",
                "will there be frost {t}",
                "will there be thunder {t}", "will there be sleet {t}", "is it foggy in {c}", "is it cloudy {t}",
                "is it sunny in {c}", "is it overcast {t}", "is it humid in {c}", "how humid is it {t}",
                "how many degrees {t}", "how many degrees in {c} {t}", "will it drizzle {t}", "will it hail {t}",
                "will it pour in {c}", "will the sun come out {t}", "is it nice outside {t}", "is it warm in {c}",
                "how hot is it in {c} {t}", "how cold will it get {t}", "is it raining {t}", "is it raining in {c}",
                "will it be sunny {t}", "will it be cloudy {t}", "will it stay dry {t}", "is it going to be wet {t}",
                "is it shorts weather {t}", "sunny or cloudy {t}", "good day for a picnic {t}",
                "will it be below zero {t}", "how warm will {c} be {t}", "is it freezing in {c}", "is it stormy {t}",
                "will it be icy {t}", "hot or cold in {c} {t}", "do i need sunglasses {t}", "is it snowing {t}",
                "is it muggy in {c}", "will it be breezy {t}", "is there a heatwave {t}", "will it clear up {t}"]
WEATHER_WHEN = ["today", "tomorrow", "tonight", "this weekend", "on saturday", "on sunday", "this afternoon",
                "this evening", "later", "in the morning", "tomorrow morning", "next week", "on friday", "right now",
                "in an hour", ""]
NEIGHBOURHOODS = ["shoreditch", "kreuzberg", "le marais", "trastevere", "gràcia", "harlem", "williamsburg",
                  "the mission district", "shinjuku", "gangnam", "the jordaan", "camden", "brixton", "alfama",
                  "prenzlauer berg", "the old town", "downtown", "midtown", "chinatown", "the harbour",
                  "the city centre", "the west end", "notting hill", "st. pauli", "belleville", "ueno", "kadıköy",
                  "the latin quarter", "friedrichshain", "greenwich village", "the gothic quarter", "kensington"]
SHOPS = ["florist", "butcher", "hairdresser", "barber", "optician", "tailor", "locksmith", "dry cleaner",
         "coworking space", "playground", "swimming pool", "skate park", "bowling alley", "climbing gym",
         "thrift store", "electronics store", "toy store", "garden centre", "car rental", "taxi rank",
         "ferry terminal", "tram stop", "hostel", "campsite", "viewpoint", "wine bar", "cocktail bar", "food market",
         "noodle bar", "dumpling place", "deli", "kebab shop", "fish and chips", "bagel shop", "bike rental",
         "flea market", "record store", "pet shop", "shoe repair", "print shop", "police station", "urgent care",
         "night pharmacy", "charging point", "bottle bank", "public toilet", "youth hostel", "ski rental"]
SHOP_FORMS = ["{s} in {n}", "{s} in {n}", "{s}s in {n}", "best {s} in {n}", "{s} near {n}", "{s} around {n}",
              "{s} close by", "{s} nearby", "{s} near here", "{s}", "{s}", "any {s} open now", "{s} open today",
              "where's the closest {s}", "nearest {s} to {n}", "how do i get to {n}", "{s} on the way home",
              "{s} in {c}", "cheap {s} in {c}", "{s} next to the station", "late night {s}", "get to the {s}"]
CODE_FILES_MORE = ["pyproject.toml", "flake.nix", "go.mod", "vite.config.ts", "compose file", "justfile",
                   "containerfile", "gemfile", "podfile", "build.zig", "rakefile", "jenkinsfile", "procfile",
                   "tox.ini", "setup.cfg", ".zshrc", ".vimrc", "init.lua", ".editorconfig", "cmake presets"]
PHOTO_KINDS = ["holiday photos", "pictures", "photos", "videos", "selfies", "snapshots", "raw photos",
               "honeymoon pictures", "trip photos", "drone footage", "phone pictures"]
DECKS = ["slides", "slide deck", "keynote", "presentation", "powerpoint", "pitch deck", "deck", "pptx", "poster",
         "handout", "report", "whitepaper", "one pager"]
SCANNED = ["id card", "driving licence", "visa", "birth certificate", "diploma", "insurance card", "lease",
           "contract", "tax form", "prescription", "vaccination card", "residence permit"]
NOTES = ["meeting notes", "notes", "minutes", "call notes", "brainstorm", "todo list", "action items", "draft"]
CODE_BARE = ["makefile", "vagrantfile", "gemfile", "jenkinsfile", "procfile", "rakefile", "brewfile", "containerfile",
             "caddyfile", "snakefile", "gulpfile", "gruntfile", "podfile", "cmakelists.txt", "meson.build",
             "build.ninja", "pkgbuild", "spec file", "kustomization", "helm chart", "terraform", "ansible playbook"]
MISC_MORE = ["new window", "new tab", "screen capture", "record screen", "end task", "force quit", "task manager",
             "show desktop", "sleep mode", "log out", "switch user", "night light", "airplane mode", "mute",
             "unmute", "zoom in", "zoom out", "print screen", "reboot", "power off", "suspend", "hibernate",
             "lock", "keyboard layout", "change wallpaper", "display settings", "sound settings", "mouse speed",
             "kill chrome", "close all windows", "minimize all", "caps lock", "emoji picker", "open downloads"]
DOC_MORE = ["lecture slides", "bank statement", "payslip", "recording", "interview recording", "meeting recording",
            "voice recording", "scan", "receipt", "invoice", "tax return", "cv", "lease", "warranty card",
            "syllabus", "timetable", "itinerary", "packing list", "shopping list", "reading list", "seating plan"]
DOC_DETAILS = ["week 3", "week 5", "for chapter 2", "from last year", "january", "from the bank", "from work",
               "of the meeting", "of the interview", "for the trip", "final", "v2", "2024", "i made", "i scanned",
               "for school", "from the lawyer", "signed", "draft", "copy"]


def _load(name):
    import os
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip()]


# From WordNet (make_word_lists.py): rare adjectives and concept nouns, so that unseen bare words generalise.
LEXICON_RARE = _load("words_rare.txt")
LEXICON_CONCEPTS = _load("words_concepts.txt")


def _pick(rng, xs):
    return xs[rng.randrange(len(xs))]


def dictionary_bare(rng):
    import generate_queries as gq
    w = _pick(rng, (RARE_WORDS + gq.WORDS) if rng.random() < 0.4 else LEXICON_RARE)
    form = _pick(rng, ["{}", "{}", "{}", "{}", "{}?", "what does {} mean", "{} meaning", "{} definition",
                       "how to pronounce {}", "pronunciation of {}", "{} pronunciation", "is {} a word",
                       "what is {}", "define {}", "{} synonym", "what does {} mean", "what's the meaning of {}",
                       "how do you say {}", "use {} in a sentence", "{} dictionary", "plural of {}"])
    if rng.random() < 0.12:
        return _pick(rng, ["what does {} mean", "{} meaning", "what does {} stand for"]).format(_pick(rng, SLANG)), {
            "dictionary"}
    if rng.random() < 0.06:
        return _pick(rng, ["word for {}", "what is the word for {}", "a word meaning {}"]).format(
            _pick(rng, DESCRIBED)), {"dictionary"}
    return form.format(w), {"dictionary"}


def knowledge_bare(rng):
    return _pick(rng, CONCEPT_FORMS).format(_pick(rng, CONCEPTS if rng.random() < 0.4 else LEXICON_CONCEPTS)), {
        "knowledge"}


def open_app(rng):
    import generate_queries as gq
    if rng.random() < 0.25:
        return _pick(rng, MISC_MORE), set()
    app = _pick(rng, APPS_MORE + gq.APPS)
    verb = _pick(rng, OPEN_VERBS)
    form = _pick(rng, ["{v} {a}", "{v} {a}", "{v} {a}", "{a}", "{v} {a} app", "{v} {a} please", "{a} app",
                       "{v} {a} now", "{v} a new {a} window"])
    return form.format(v=verb, a=app).replace("the the ", "the "), set()


def calendar_phrase(rng):
    e, t = _pick(rng, EVENT_WORDS), _pick(rng, CAL_TIMES)
    n, w = _pick(rng, EVENT_NAMES), _pick(rng, WHO)
    return _pick(rng, [
        f"{e} {t}", f"{e} {t}", f"{e} {t}", f"{t} {e}", f"when is my {n}", f"when's the {n}", f"my next {n}",
        f"next {n}", f"{n} {t}", f"is my {n} {t}", f"what time is my {n}", f"lunch with {w} {t}",
        f"meeting with {w} {t}", f"call with {w} {t}", f"dinner with {w} {t}", f"{n} with {w}",
        f"what's on my calendar {t}", f"do i have meetings {t}", f"am i free {t}", f"how busy am i {t}",
        f"first meeting {t}", f"last meeting {t}", f"events in {_pick(rng, ['march', 'may', 'october'])}",
        f"what's happening {t}", f"move my {n}", f"reschedule the {n}", f"upcoming events",
    ]), set()


def messages_recall(rng):
    p, v, thing = _pick(rng, WHO), _pick(rng, SAY_VERBS), _pick(rng, SHARED_THINGS)
    app, sub = _pick(rng, CHAT_APPS), _pick(rng, SUBJECTS)
    return _pick(rng, [
        f"did {p} {v} {sub}", f"did {p} {v} anything about {sub}", f"what did {p} {v}", f"what did {p} reply",
        f"what did {p} answer", f"what did {p} write on {app}", f"what did {p} write in {app}",
        f"what did {p} recommend", f"the {thing} {p} shared", f"the {thing} {p} shared with me",
        f"the {thing} {p} gave me", f"the {thing} {p} sent on {app}", f"what did {p} ask me",
        f"last thing {p} wrote", f"did {p} ping me about {sub}",
        f"has {p} replied", f"did {p} get back to me", f"did {p} get back to me about {sub}",
        f"what was the {thing} {p} sent", f"who said they would handle {sub}",
        f"what did {p} and i agree on", f"what did we agree with {p}", f"did anyone answer in {app}",
        f"what did {p} reply about {sub}", f"did {p} confirm {sub}", f"did {p} say yes", f"what did i tell {p}",
        f"what did i write to {p} about {sub}", f"{p}'s last message", f"{p}'s reply on {app}",
        f"what did the group decide about {sub}", f"{thing} from {p} on {app}",
    ]), {"messages"}


def weather_implicit(rng):
    import generate_queries as gq
    t, c = _pick(rng, WEATHER_WHEN), _pick(rng, gq.CITIES)
    text = _pick(rng, WEATHER_ASKS).format(t=t, c=c)
    return " ".join(text.split()).replace(" ?", "?"), {"weather"}


def places_more(rng):
    import generate_queries as gq
    s, n, c = _pick(rng, SHOPS + gq.PLACES), _pick(rng, NEIGHBOURHOODS), _pick(rng, gq.CITIES)
    return _pick(rng, SHOP_FORMS).format(s=s, n=n, c=c), {"maps"}


def files_more(rng):
    import generate_queries as gq
    d, detail = _pick(rng, DOC_MORE), _pick(rng, DOC_DETAILS)
    if rng.random() < 0.4:
        where = _pick(rng, gq.COUNTRIES + gq.CITIES + ["the beach", "the wedding", "the trip", "the holidays"])
        topic = _pick(rng, ["marketing", "sales", "the budget", "onboarding", "our roadmap", "climate", "history",
                            "the product launch", "security", "hiring", "the quarter", "biology"])
        return _pick(rng, [
            f"{_pick(rng, PHOTO_KINDS)} from {where}", f"{_pick(rng, PHOTO_KINDS)} of {where}",
            f"{_pick(rng, DECKS)} about {topic}", f"{_pick(rng, DECKS)} on {topic}", f"{topic} {_pick(rng, DECKS)}",
            f"{_pick(rng, SCANNED)} scan", f"scan of the {_pick(rng, SCANNED)}", f"scanned {_pick(rng, SCANNED)}",
            f"{_pick(rng, NOTES)} {topic}", f"{_pick(rng, NOTES)} for {topic}", f"{_pick(rng, CODE_BARE)}",
        ]), {"files"}
    return _pick(rng, [
        f"{d} {detail}", f"{d} {detail}", f"my {d} {detail}", f"the {d} {detail}", f"{_pick(rng, CODE_FILES_MORE)}",
        f"open {_pick(rng, CODE_FILES_MORE)}", f"{d}", f"find the {d}", f"where's my {d}",
        f"{detail} {d}", f"{d} folder", f"{d} document",
    ]), {"files"}


def bare_word(rng):
    """One word or term alone: a rare word asks for its definition, a concept for its article."""
    if rng.random() < 0.5:
        text, labels = _pick(rng, RARE_WORDS if rng.random() < 0.3 else LEXICON_RARE), {"dictionary"}
    else:
        text, labels = _pick(rng, CONCEPTS if rng.random() < 0.3 else LEXICON_CONCEPTS), {"knowledge"}
    r = rng.random()
    if r < 0.1:
        text = text.capitalize()
    elif r < 0.15:
        text += "?"
    return text, labels


FAMILIES = [dictionary_bare, dictionary_bare, knowledge_bare, knowledge_bare, open_app, open_app, calendar_phrase,
            calendar_phrase, calendar_phrase, calendar_phrase, messages_recall, messages_recall, weather_implicit,
            weather_implicit, places_more, places_more, files_more]


def family_query(rng):
    return _pick(rng, FAMILIES)(rng)


# ---------------------------------------------------------------- a fourth family
# The shapes the first three still missed: encyclopedic questions that name a place (not a way there), how and
# why questions about nature and the body, famous people typed alone beside ordinary contact names, a definition
# asked (or misspelt) for a word that looks like a concept, rare nouns and science terms typed alone, when someone
# was last in touch and the things they sent, photos named by trip, code and build files by their bare names,
# utility and app names typed alone, emoji alone, shops by their regional names, superlatives within a region.

LEXICON_RARE_NOUNS = _load("words_rare_nouns.txt")
LEXICON_SCIENCE = _load("words_science.txt")

REGIONS = ["europe", "asia", "south america", "north america", "australia", "oceania", "scandinavia", "the alps",
           "the balkans", "the middle east", "central asia", "southeast asia", "the caribbean", "east africa",
           "west africa", "the arctic", "antarctica", "the uk", "canada", "russia", "china", "japan", "india",
           "the united states", "brazil", "mexico", "germany", "spain", "italy", "france", "norway", "chile"]
FEATURES = [("highest", "mountain"), ("longest", "river"), ("largest", "lake"), ("biggest", "city"),
            ("oldest", "city"), ("largest", "desert"), ("deepest", "canyon"), ("highest", "waterfall"),
            ("longest", "bridge"), ("tallest", "tower"), ("largest", "country"), ("smallest", "country"),
            ("biggest", "island"), ("oldest", "university"), ("largest", "volcano"), ("longest", "mountain range"),
            ("most populous", "city"), ("coldest", "place"), ("driest", "place"), ("largest", "forest"),
            ("busiest", "airport"), ("oldest", "tree"), ("tallest", "building"), ("largest", "glacier")]
FAR_PLACES = ["ulaanbaatar", "tasmania", "the faroe islands", "patagonia", "tierra del fuego", "the kalahari",
              "zanzibar", "samarkand", "tuvalu", "greenland", "bhutan", "the yucatan", "siberia", "svalbard",
              "easter island", "the galapagos islands", "kamchatka", "transylvania", "the sahel", "madagascar",
              "lesotho", "liechtenstein", "andorra", "the azores", "socotra", "nauru", "kiribati", "bora bora",
              "the outer hebrides", "lapland", "tibet", "kashmir", "the atacama desert", "the gobi desert",
              "the dolomites", "the pyrenees", "the himalayas", "the caucasus", "the sinai", "mesoamerica",
              "angola", "eritrea", "djibouti", "suriname", "belize", "brunei", "montenegro", "moldova", "tonga",
              "the maldives", "sri lanka", "laos", "uzbekistan", "kyrgyzstan", "namibia", "botswana", "zambia"]
COUNTRIES_MORE = ["the netherlands", "denmark", "sweden", "hungary", "romania", "croatia", "serbia",
                  "ukraine", "georgia", "armenia", "iran", "iraq", "pakistan", "bangladesh", "malaysia",
                  "the philippines", "australia", "canada", "ghana", "senegal", "tanzania", "uganda", "algeria",
                  "tunisia", "bolivia", "ecuador", "venezuela", "paraguay", "uruguay", "jamaica", "haiti",
                  "luxembourg", "malta", "cyprus", "estonia", "latvia", "lithuania", "slovakia", "slovenia",
                  "spain", "germany", "italy", "china", "russia", "the united states", "switzerland", "israel"]
EMPIRES = ["the roman empire", "the byzantine empire", "the ottoman empire", "the mongol empire", "the aztec empire",
           "the inca empire", "the maya", "the soviet union", "the habsburg monarchy", "the persian empire",
           "the british empire", "the qing dynasty", "the ming dynasty", "the han dynasty", "ancient greece",
           "the western roman empire", "carthage", "babylon", "the khmer empire", "the mughal empire",
           "the holy roman empire", "the spanish armada", "constantinople", "troy",
           "the kingdom of prussia", "austria-hungary", "the weimar republic", "the third reich", "atlantis"]
PLACE_FACTS = ["what language do they speak in {k}", "what languages are spoken in {k}", "language spoken in {k}",
               "what currency does {k} use", "what is the currency in {k}", "where is {f}", "where is {f} located",
               "where exactly is {f}", "is {f} a country", "what country is {f} in", "what continent is {k} in",
               "when was {k} founded", "how big is {k}", "how many people live in {f}", "population of {f}",
               "what is {k} known for", "what is {f} famous for", "national dish of {k}", "national animal of {k}",
               "what religion is {k}", "who rules {k}", "who is the president of {k}", "government of {k}",
               "when did {k} become independent", "history of {f}", "what is the capital of {f}", "capital of {k}",
               "flag of {k}", "what do people eat in {k}", "official language of {f}", "{f} facts",
               "is {k} part of the eu", "how old is {k}", "what ocean is near {f}", "geography of {f}"]
FALL_FORMS = ["what caused the fall of {e}", "why did {e} fall", "why did {e} collapse", "when did {e} fall",
              "how did {e} end", "the fall of {e}", "decline of {e}", "rise and fall of {e}", "what ended {e}",
              "how big was {e}", "when did {e} begin", "who founded {e}", "what came after {e}",
              "how long did {e} last", "why was {e} so powerful", "capital of {e}", "who ruled {e}"]
# How and why questions about nature, the body and machines: (subject, what it does).
HOW_WHY = [("birds", "migrate"), ("salmon", "find their way home"), ("bats", "see in the dark"),
           ("chameleons", "change colour"), ("ants", "build nests"), ("whales", "sleep"), ("owls", "hunt at night"),
           ("spiders", "spin webs"), ("snakes", "shed their skin"), ("trees", "drink water"), ("plants", "grow"),
           ("volcanoes", "erupt"), ("earthquakes", "happen"), ("stars", "form"), ("planets", "orbit the sun"),
           ("cats", "land on their feet"), ("dogs", "sweat"), ("fish", "breathe underwater"),
           ("camels", "survive without water"), ("penguins", "stay warm"), ("octopuses", "change colour"),
           ("fireflies", "glow"), ("crickets", "chirp"), ("birds", "sing"), ("frogs", "croak"),
           ("geese", "fly in a v"), ("leaves", "change colour"), ("we", "dream"), ("we", "yawn"), ("we", "hiccup"),
           ("we", "sneeze"), ("we", "get goosebumps"), ("our ears", "pop"), ("muscles", "grow"),
           ("vaccines", "work"), ("antibiotics", "kill bacteria"), ("helicopters", "hover"), ("ships", "float"),
           ("rockets", "reach orbit"), ("submarines", "dive"), ("bicycles", "stay upright"),
           ("hot air balloons", "rise"), ("compasses", "point north"), ("touchscreens", "work"),
           ("noise cancelling headphones", "work"), ("glaciers", "move"), ("tsunamis", "form"),
           ("caves", "form"), ("diamonds", "form"), ("pearls", "form"), ("mushrooms", "grow"),
           ("bees", "communicate"), ("wasps", "build nests"), ("termites", "build mounds"), ("squids", "swim"),
           ("kangaroos", "jump"), ("giraffes", "sleep"), ("elephants", "communicate"), ("sharks", "find prey")]
HOW_WHY_FORMS = ["how do {s} {v}", "why do {s} {v}", "how do {s} {v}?", "how can {s} {v}", "why can {s} {v}",
                 "what makes {s} {v}", "how is it that {s} {v}", "when do {s} {v}", "do {s} {v}",
                 "why do {s} {v} at all"]
FAMOUS_MORE = ["carl jung", "ivan pavlov", "jean piaget", "max planck", "enrico fermi", "richard feynman",
               "rosalind franklin", "barbara mcclintock", "lise meitner", "werner heisenberg", "erwin schrödinger",
               "paul dirac", "johannes kepler", "nicolaus copernicus", "tycho brahe", "carl linnaeus",
               "alexander von humboldt", "michael faraday", "james clerk maxwell", "antoine lavoisier",
               "robert hooke", "edwin hubble", "alfred nobel", "wilhelm röntgen", "john von neumann", "kurt gödel",
               "leonhard euler", "carl friedrich gauss", "bernhard riemann", "george boole", "charles babbage",
               "dorothy hodgkin", "jane goodall", "rachel carson", "florence nightingale", "mary shelley",
               "virginia woolf", "james joyce", "oscar wilde", "george orwell", "ernest hemingway", "toni morrison",
               "maya angelou", "emily dickinson", "walt whitman", "edgar allan poe", "mark twain", "homer",
               "virgil", "ovid", "sappho", "rumi", "omar khayyam", "li bai", "lao tzu", "sun tzu", "genghis khan",
               "kublai khan", "saladin", "richard the lionheart", "william the conqueror", "otto von bismarck",
               "napoleon bonaparte", "simón bolívar", "toussaint louverture", "garibaldi", "lenin", "stalin",
               "trotsky", "john f kennedy", "franklin roosevelt", "theodore roosevelt", "george washington",
               "thomas jefferson", "benjamin franklin", "harriet tubman", "frederick douglass", "malcolm x",
               "eleanor roosevelt", "margaret thatcher", "angela merkel", "indira gandhi", "golda meir",
               "claude debussy", "frédéric chopin", "franz schubert", "johannes brahms", "richard wagner",
               "giuseppe verdi", "pyotr tchaikovsky", "igor stravinsky", "gustav mahler", "miles davis",
               "louis armstrong", "billie holiday", "elvis presley", "bob dylan", "david bowie", "freddie mercury",
               "salvador dalí", "henri matisse", "paul cézanne", "edgar degas", "gustav klimt", "egon schiele",
               "andy warhol", "jackson pollock", "georgia o'keeffe", "caravaggio", "raphael", "titian",
               "albrecht dürer", "hieronymus bosch", "johannes vermeer", "diego rivera", "katsushika hokusai",
               "le corbusier", "frank lloyd wright", "antoni gaudí", "zaha hadid", "coco chanel",
               "alfred hitchcock", "stanley kubrick", "charlie chaplin", "ingmar bergman", "federico fellini",
               "marilyn monroe", "audrey hepburn", "muhammad ali", "pelé", "diego maradona", "serena williams",
               "usain bolt", "jesse owens", "roger federer", "michael jordan", "babe ruth", "wayne gretzky"]
FAMOUS_FORMS = ["{}", "{}", "{}", "{}?", "{} life", "{} quotes", "{} works", "{} born", "{} death",
                "who was {}", "{} famous for", "{} achievements", "{} early life", "what did {} do"]
FIRST_MORE = ["peter", "thomas", "michael", "stefan", "andreas", "julia", "laura", "katrin", "sabine", "markus",
              "tobias", "lukas", "johanna", "miriam", "sandra", "kevin", "jason", "megan", "ashley", "brandon",
              "tyler", "amber", "rachel", "steve", "paul", "mark", "susan", "karen", "linda", "gary", "fiona",
              "ewan", "callum", "siobhan", "aoife", "niamh", "lars", "ingrid", "sofia", "giulia", "luca",
              "matteo", "camille", "théo", "manon", "hugo", "pablo", "lucía", "javier", "aylin", "emre",
              "priya", "arjun", "wei", "jun", "min-jun", "sakura", "kenji", "olu", "amara", "kwame"]
LAST_MORE = ["meyer", "weber", "wagner", "becker", "hoffmann", "schulz", "koch", "richter", "klein", "wolf",
             "brown", "johnson", "williams", "jones", "taylor", "wilson", "davies", "evans", "thomas", "walker",
             "miller", "anderson", "clarke", "wright", "hughes", "martin", "bernard", "petit", "moreau",
             "fernández", "gonzález", "romano", "ricci", "bianchi", "jensen", "nielsen", "hansen", "larsen",
             "lindqvist", "virtanen", "kowalczyk", "horvat", "popescu", "yilmaz", "demir", "sharma", "singh",
             "wang", "li", "zhang", "sato", "suzuki", "park", "lee", "okafor", "mensah", "van dijk", "de vries"]
CONTACT_FORMS = ["{f} {l}", "{f} {l}", "{f} {l}", "{f} {l}", "{F} {L}", "{f} {l} phone", "{f} {l} email",
                 "{f} {l} number", "{f} {l} address book", "contact {f} {l}", "{f} {l} work", "{f} from accounting",
                 "{f} {l} mobile", "{f} {l[0]}"]
DEF_WORDS = ["definition", "definition", "defintion", "definiton", "defnition", "deffinition", "definitoin",
             "meaning", "meaning", "meening", "meanig"]
DEF_FORMS = ["{d} of {w}", "{d} of {w}", "{d} of the word {w}", "{d} of the term {w}", "{w} {d}",
             "dictionary {d} of {w}", "{d} for {w}", "what's the {d} of {w}", "simple {d} of {w}",
             "{d} of {w} in english"]
TOUCH_PEOPLE = ["mom", "dad", "grandma", "my aunt", "my uncle", "my cousin", "my sister", "my brother",
                "sarah", "alex", "emma", "tom", "lisa", "raj", "jonas", "mei", "carlos", "hannah", "ivan", "sophie",
                "the plumber", "my landlord", "my boss", "the team", "the recruiter", "my neighbour", "my ex",
                "my best friend", "the babysitter", "the school", "coach", "my old roommate", "the agent"]
TOUCH_FORMS = ["when did i last talk to {p}", "when did i last speak to {p}", "when did i last hear from {p}",
               "when did i last write to {p}", "when did {p} last write", "when did {p} last text",
               "last time i talked to {p}", "last time i heard from {p}", "how long since i talked to {p}",
               "how long since {p} wrote", "when was my last chat with {p}", "when did {p} and i last talk",
               "have i talked to {p} this week", "did i ever reply to {p}", "did i answer {p}",
               "when did i last chat with {p}", "my last conversation with {p}", "when did {p} get in touch"]
SENT_THINGS = ["phone number", "address", "link", "restaurant", "bar", "hotel", "recipe", "voice note", "photo",
               "video", "song", "book", "movie", "podcast", "wifi password", "door code", "tracking number",
               "booking code", "meeting link", "zoom link", "place", "shop", "location", "menu", "gif", "meme",
               "article", "playlist", "event", "tickets", "flight number", "train times", "apartment listing"]
SENT_FORMS = ["the {t} {p} sent me", "the {t} {p} sent", "the {t} {p} shared", "the {t} {p} recommended",
              "the {t} {p} suggested", "what was the {t} {p} recommended", "which {t} did {p} suggest",
              "the {t} {p} mentioned", "{p}'s {t}", "{p}'s {t} from {w}", "the {t} from {p} {w}",
              "the {t} {p} texted me", "which {t} did {p} send", "where is the {t} {p} sent",
              "the {t} {p} told me about", "{p} sent a {t} {w}", "find the {t} {p} sent"]
SENT_WHEN = ["yesterday", "last week", "on monday", "this morning", "last night", "earlier", "in the group chat",
             "on whatsapp", "on signal", "last month", "the other day"]
FILE_CONTENTS = ["the team budget", "all the invoices", "our expenses", "the guest list",
                 "my grades", "the survey results", "the sales numbers", "last year's taxes", "the inventory",
                 "the rota", "my workouts", "the price comparison", "the contact list", "the loan schedule",
                 "the tournament results", "the class list", "my savings plan", "the project timeline"]
FILE_WITH_FORMS = ["the {k} with {c}", "{k} with {c}", "my {k} of {c}", "the {k} for {c}", "{k} listing {c}",
                   "the {k} that has {c}", "{k} containing {c}", "where is the {k} with {c}"]
FILE_KINDS = ["spreadsheet", "document", "sheet", "table", "csv", "excel file", "doc", "google sheet", "pdf",
              "word file", "list", "workbook"]
TRIP_PHOTOS = ["vacation photos", "holiday pics", "beach photos", "ski trip pictures", "wedding videos",
               "travel photos", "road trip pictures", "camping photos", "photos", "pictures", "videos", "pics",
               "honeymoon photos", "family photos", "birthday photos", "graduation pictures", "hiking photos",
               "summer photos", "christmas photos", "drone videos", "gopro videos", "old photos"]
TRIP_WHERE = COUNTRIES_MORE + REGIONS[:14] + ["the lake", "the mountains", "the coast", "grandma's house",
                                              "the festival", "the concert", "last summer", "2019", "2022"]
TRIP_FORMS = ["{p} from {w}", "{p} from {w}", "{p} in {w}", "my {p} from {w}", "{p} of {w}", "our {p} {w}",
              "{w} {p}", "{p} taken in {w}", "the {p} from {w}"]
BUILD_FILES = ["dockerignore", ".gitlab-ci.yml", "sconstruct", "build.xml", "gradle.properties", "package-lock",
               "yarn.lock", "cargo.lock", "poetry.lock", "pipfile", "environment.yml", "conanfile", "vcpkg.json",
               "mkdocs.yml", "babelrc", "eslintrc", "prettierrc", "tsconfig.json", "systemd unit file", "fstab",
               "sshd_config", "kubeconfig", "values.yaml", "chart.yaml", "helmfile", "taskfile", "earthfile",
               "tiltfile", "berksfile", "capfile", "guardfile", "fastfile", "info.plist", "androidmanifest",
               "manifest.json", "setup.py", "conftest.py", "pytest.ini", "noxfile", "manage.py", "main.go",
               "index.js", "app.tsx", "main.cpp", "cmake toolchain file", "linker script", "kconfig",
               "devcontainer.json", "workflow yaml", "github actions workflow", "pre-commit config", "nixfile",
               "flake.lock", "buildfile", "workspace file", "bazelrc", "pants.toml", "lerna.json", "turbo.json",
               "rollup config", "jest config", "karma conf", "docker compose override", "nginx.conf",
               "hosts file", "gitconfig", "gitattributes", "bash_profile", "zprofile", "tmux.conf", "xinitrc",
               "i3 config", "sway config", "alacritty.yml", "kitty.conf", "settings.json", "launch.json"]
BUILD_FORMS = ["{}", "{}", "{}", "{}", "open {}", "edit {}", "the {} in my project", "my {}", "where is my {}",
               "{} for the api", "{} in the repo", "{} for the backend", "show {}", "the project's {}"]
UTILITIES = ["pomodoro timer", "focus timer", "countdown", "white noise", "habit tracker", "kanban board",
             "scratchpad", "sticky notes", "screen ruler", "magnifier", "on-screen keyboard", "dictation",
             "screen recorder", "screencast", "gif recorder", "webcam", "microphone test",
             "sound recorder", "voice recorder", "character map", "unit converter", "currency converter",
             "world clock", "alarm", "timer", "qr code", "qr scanner", "ocr", "window switcher",
             "workspace switcher", "clipboard history", "snippet", "app store", "updates", "system update",
             "disk cleanup", "trash", "recycle bin", "file manager", "downloads folder", "night mode",
             "hotspot", "vpn", "screen mirroring", "cast screen", "printer", "scanner", "fonts", "keyboard shortcuts",
             "flameshot", "ksnip", "peek", "kazam", "simplescreenrecorder", "pavucontrol", "nvidia settings",
             "timeshift", "bleachbit", "stacer", "gnome tweaks", "dconf editor", "virt manager", "nextcloud",
             "onlyoffice", "obs studio", "intellij idea", "pycharm", "webstorm", "clion", "datagrip", "rider",
             "gitkraken", "sourcetree", "github desktop", "insomnia", "dbeaver", "anki", "calibre", "zotero",
             "logseq", "joplin", "standard notes", "simplenote", "todoist", "ticktick", "trello", "asana",
             "jira", "confluence", "miro", "excalidraw", "drawio", "lucidchart", "canva", "affinity photo",
             "darktable", "rawtherapee", "digikam", "ardour", "lmms", "reaper", "musescore", "hydrogen"]
UTILITY_FORMS = ["{}", "{}", "{}", "{}", "{}", "open {}", "start {}", "launch {}", "{} app", "new {}",
                 "show {}"]
CAL_EVENTS_MORE = ["offsite", "all hands", "town hall", "board meeting", "standup", "retro", "planning",
                   "sprint planning", "kickoff", "review", "launch party", "holiday party", "team dinner",
                   "team lunch", "workshop", "training", "quarterly review", "performance review", "interview",
                   "demo day", "hackathon", "onboarding session", "strategy day", "summer party"]
CAL_OWNERS = ["the team", "our", "the company", "the department", "the office", "my", "the project", "the sales",
              "the engineering", "the design", "the marketing", "the board"]
CAL_FORMS = ["when is {o} {e}", "when's {o} {e}", "what time is {o} {e}", "where is {o} {e}", "is {o} {e} {t}",
             "{o} {e} {t}", "agenda for {t}", "my agenda for {t}", "schedule for {t}", "plan for {t}",
             "what's planned for {t}", "events for {t}", "calendar for {t}", "meetings for {t}",
             "did {o} {e} get moved", "is {o} {e} still on", "how long is {o} {e}", "who is invited to {o} {e}"]
CAL_WHEN = ["today", "tomorrow", "this week", "next week", "monday", "friday", "the weekend", "tonight",
            "next month", "the day", "thursday", "this afternoon", "tomorrow morning"]
DIETS = ["vegan", "vegetarian", "gluten free", "halal", "kosher", "organic", "late night", "cheap", "family friendly",
         "dog friendly", "rooftop", "all you can eat", "breakfast", "brunch", "24 hour", "romantic", "quiet"]
VENUES = ["restaurants", "cafes", "bakeries", "bars", "pizza places", "burger joints", "food trucks", "diners",
          "bistros", "brunch spots", "lunch spots", "ramen places", "taquerias", "pubs", "wine bars", "delis",
          "bookshops", "chemists", "newsagents", "off licences", "launderettes", "corner shops", "takeaways",
          "hairdressers", "barbers", "car parks", "cash machines", "petrol pumps", "chippies", "opticians"]
VENUE_FORMS = ["{d} {v} in {c}", "{d} {v} in {n}", "{d} {v} near {n}", "{d} {v} around {c}", "{v} in {c}",
               "{v} in {n}", "{d} {v} nearby", "best {d} {v} in {c}", "{d} {v} open now", "{d} {v} close by",
               "{v} near {n}", "good {v} in {n}", "{d} {v} {c}", "a {vs} in {c}", "any {vs} in {n}", "{vs} {c}",
               "{vs} in {n}", "{vs} near the station"]
SYSTEM_ACTIONS = ["volume up", "volume 50", "mute mic", "unmute mic", "kill firefox",
                  "kill all python", "end process", "new window", "new terminal", "new document",
                  "close window", "close tab", "reopen tab", "switch window", "next desktop", "previous desktop",
                  "brightness up", "brightness down", "screen off", "turn off display", "eject usb", "eject disk",
                  "mount drive", "unmount drive", "empty bin", "restart wifi", "connect headphones",
                  "pair bluetooth", "disconnect vpn", "toggle dark mode", "rotate screen", "mirror display",
                  "take screenshot", "screenshot area", "record a gif", "start recording", "stop recording",
                  "clear clipboard", "show clipboard", "show notifications", "clear notifications",
                  "battery saver", "power saving mode", "log off", "restart now", "shut down in 10 minutes",
                  "check for updates", "update system", "install updates", "free disk space", "check disk",
                  "network settings", "printer queue", "change resolution", "default browser", "startup apps",
                  "kill the frozen app", "force close", "show hidden files", "type an em dash", "insert date"]
WORKS = [("composed", ["the moonlight sonata", "the magic flute", "the planets suite", "the rite of spring", "bolero",
                         "the nutcracker", "swan lake", "carmen", "the messiah", "the goldberg variations",
                         "clair de lune", "the blue danube", "the ring cycle", "rhapsody in blue", "the water music",
                         "the brandenburg concertos", "the ninth symphony", "ode to joy", "the new world symphony",
                         "summertime", "autumn leaves", "the sunrise quartet", "the storm sonata", "spring symphony"]),
         ("wrote", ["the tempest", "the winter's tale", "a midsummer night's dream", "the sun also rises",
                    "a farewell to arms", "wuthering heights", "jane eyre", "the old man and the sea", "dracula",
                    "frankenstein", "the hobbit", "brave new world", "the catcher in the rye", "ulysses",
                    "the grapes of wrath", "cloud atlas", "east of eden", "the long winter", "summer of the shark",
                    "heat and dust", "the weather makers", "a storm of swords", "the fog of war", "frost at midnight"]),
         ("painted", ["the starry night", "the night watch", "the scream", "the last supper", "guernica",
                      "water lilies", "the birth of venus", "girl with a pearl earring", "the kiss", "the hay wain",
                      "impression sunrise", "wanderer above the sea of fog", "the great wave", "the snow storm",
                      "the fighting temeraire", "rain steam and speed", "american gothic", "nighthawks"]),
         ("directed", ["the godfather", "casablanca", "psycho", "vertigo", "citizen kane", "jaws", "spirited away",
                       "seven samurai", "the seventh seal", "la dolce vita", "2001 a space odyssey", "metropolis",
                       "the perfect storm", "twister", "frozen", "the day after tomorrow", "sunshine", "fargo"])]
WORK_FORMS = ["who {v} {w}", "who {v} {w}?", "when was {w} made", "who {v} {w} and when", "{w} by who",
              "history of {w}", "what is {w} about", "when did {w} come out", "{w} meaning of the title"]
EVENT_PLACES = ["fukushima", "pompeii", "pearl harbor", "woodstock", "waterloo", "gettysburg", "hiroshima",
                "three mile island", "tiananmen square", "the somme", "verdun", "stalingrad", "dunkirk",
                "the bay of pigs", "roswell", "tunguska", "bhopal", "lockerbie", "srebrenica", "kent state",
                "the alamo", "little bighorn", "agincourt", "thermopylae", "marathon", "yalta", "potsdam", "munich 1938",
                "the titanic", "the hindenburg", "challenger", "apollo 13", "krakatoa", "vesuvius", "aberfan"]
EVENT_FORMS = ["what happened at {x}", "what happened in {x}", "what happened to {x}", "{x} disaster",
               "why is {x} famous", "{x} history", "what was {x}", "{x} explained", "when was {x}",
               "how many died at {x}", "story of {x}", "what went wrong at {x}"]
BODIES = ["mercury", "venus", "mars", "jupiter", "saturn", "uranus", "neptune", "pluto", "the sun", "alpha centauri",
          "the andromeda galaxy", "the iss", "halley's comet", "the asteroid belt", "voyager 1", "sirius",
          "betelgeuse", "proxima centauri", "titan", "europa", "the kuiper belt", "the edge of the universe"]
BODY_FORMS = ["how far is {a} from {b}", "how far away is {a}", "distance from {a} to {b}", "how big is {a}",
              "how hot is {a}", "how old is {a}", "how long does light take from {a}", "how long to fly to {a}",
              "how heavy is {a}", "is {a} bigger than {b}", "how many earths fit in {a}", "what is {a} made of"]
PLACE_DISTANCE = ["how far is the {p}", "how far to the {p}", "how long to the {p}", "how many minutes to the {p}",
                  "how far is the nearest {p}", "how far is the {p} from here", "how far is it to the {p}",
                  "how long does it take to get to the {p}", "is the {p} far", "is the {p} walking distance",
                  "how far is {c}", "how long to {c} by car", "how far is {c} by train"]
TOWNS = ["bristol", "leicester", "sheffield", "nottingham", "cardiff", "liverpool", "newcastle", "york", "bath",
         "oxford", "cambridge", "brighton", "aberdeen", "belfast", "cork", "galway", "utrecht", "rotterdam", "ghent",
         "bruges", "antwerp", "bordeaux", "toulouse", "strasbourg", "lille", "nantes", "dresden", "leipzig",
         "stuttgart", "frankfurt", "düsseldorf", "bologna", "florence", "naples", "turin", "valencia", "seville",
         "bilbao", "porto", "gdańsk", "wrocław", "brno", "graz", "salzburg", "basel", "lausanne", "bergen",
         "gothenburg", "aarhus", "tampere", "pittsburgh", "cleveland", "detroit", "nashville", "new orleans",
         "minneapolis", "sacramento", "tucson", "albuquerque", "quebec city", "calgary", "ottawa", "brisbane"]
NEIGHBOURHOODS_MORE = ["saint-germain", "bastille", "pigalle", "soho", "hackney", "canal saint-martin", "neukölln",
                       "schwabing", "chueca", "malasaña", "el born", "the left bank", "the bronx", "brooklyn",
                       "queens", "the east village", "the french quarter", "georgetown", "capitol hill",
                       "the castro", "shibuya", "roppongi", "itaewon", "hongdae", "the old port", "the docks",
                       "the university district", "the riverside", "the train station", "the old harbour"]
OUTDOORS = ["camping", "campsites", "hiking", "hiking trails", "picnic spots", "swimming spots", "beaches",
            "cabins", "glamping", "ski resorts", "bike trails", "viewpoints", "waterfalls", "boat rental",
            "kayak rental", "fishing spots", "climbing", "caravan parks", "lakeside hotels", "mountain huts"]
NATURE_SPOTS = ["lake como", "lake tahoe", "loch ness", "lake geneva", "lake constance", "mont blanc",
                "the black forest", "yosemite", "the lake district", "snowdonia", "the peak district",
                "the cotswolds", "the alps", "the dolomites", "the algarve", "the amalfi coast", "the rockies",
                "banff", "zion national park", "the grand canyon", "big sur", "the highlands", "lake bled",
                "plitvice", "the fjords", "lake balaton", "the ardennes", "the eifel", "lake annecy"]
OUTDOOR_FORMS = ["{o} near {s}", "{o} around {s}", "{o} by {s}", "best {o} near {s}", "{o} close to {s}",
                 "{o} at {s}", "cheap {o} near {s}", "{o} near {t}", "{o} around {t}"]
LETTER_ISSUERS = ["car insurance", "home insurance", "life insurance", "pension fund",
                  "tax advisor", "dentist", "landlord", "nursery", "kindergarten", "job centre", "student loan",
                  "credit card", "broadband", "gas company", "city council", "court", "notary", "embassy",
                  "immigration office", "health service", "accountant", "utility company", "property manager"]
LETTER_FORMS = ["{i} letter", "letter from the {i}", "{i} {k}", "my {i} {k}", "{i} paperwork", "{i} documents",
                "the {i} letter i scanned", "{i} {k} {m}", "{i} {k} pdf", "the {k} from my {i}"]
NOTE_TOPICS = ["q3 planning", "budget review", "hiring plan", "design review", "customer interview", "roadmap sync",
               "team offsite", "kickoff", "onboarding", "retro", "pricing", "the migration", "the new website",
               "vendor call", "board prep", "user research", "sprint review", "launch plan", "strategy day"]
NOTE_FORMS = ["{n} {t}", "{t} {n}", "{n} from the {t}", "{n} on {t}", "my {n} {t}", "{n} for {t}"]
GARMENT_VERBS = ["should i bring", "should i wear", "should i take", "do i pack", "should i put on", "will i need",
                 "is it a day for", "do i want", "better take", "should the kids wear"]
GARMENTS = ["a coat", "a jacket", "an umbrella", "a scarf", "a hat", "gloves", "shorts", "sandals", "a raincoat",
            "a sweater", "layers", "a fleece", "wellies", "a cap", "sunscreen", "a windbreaker", "a hoodie"]
BUSINESSES = ["the bank", "the garage", "the school", "the doctor's surgery", "the gym", "the delivery driver",
              "the airline", "the pharmacy", "the vet", "the hairdresser", "the courier", "the clinic", "the hotel",
              "the landlord's agent", "the phone company", "the restaurant", "the plumber", "the kindergarten"]
BUSINESS_FORMS = ["text from {b}", "sms from {b}", "message from {b} about {x}", "did {b} text me",
                  "the code {b} texted me", "{b} texted about {x}", "the text {b} sent", "what did {b} text",
                  "reminder text from {b}", "did {b} reply to my message"]
BUSINESS_SUBJECTS = ["my appointment", "the booking", "the delivery", "the bill", "the pickup", "the car",
                     "the prescription", "tomorrow", "the reservation", "the payment"]
EMOJI_RANGES = [(0x1F600, 0x1F64F), (0x1F300, 0x1F5FF), (0x1F680, 0x1F6FF), (0x1F900, 0x1F9FF), (0x2600, 0x26FF)]


def _emoji(rng):
    lo, hi = _pick(rng, EMOJI_RANGES)
    return chr(rng.randrange(lo, hi + 1))


def knowledge_works_events(rng):
    """Who made a work, what happened at a place of history, how far and how big the bodies of the sky are."""
    r = rng.random()
    if r < 0.4:
        verb, works = _pick(rng, WORKS)
        return _pick(rng, WORK_FORMS).format(v=verb, w=_pick(rng, works)), {"knowledge"}
    if r < 0.7:
        return _pick(rng, EVENT_FORMS).format(x=_pick(rng, EVENT_PLACES)), {"knowledge"}
    a = _pick(rng, BODIES)
    b = _pick(rng, [x for x in BODIES + ["earth", "the earth"] if x != a])
    return _pick(rng, BODY_FORMS).format(a=a, b=b), {"knowledge"}


def maps_more(rng):
    """How far a place is from here, shops in towns and districts, outdoor spots near a sight."""
    import generate_queries as gq
    r = rng.random()
    t = _pick(rng, TOWNS)
    if r < 0.35:
        return _pick(rng, PLACE_DISTANCE).format(p=_pick(rng, gq.PLACES + SHOPS), c=_pick(rng, TOWNS + gq.CITIES)), {
            "maps"}
    if r < 0.7:
        s = _pick(rng, gq.PLACES + SHOPS + VENUES)
        return _pick(rng, ["{s} in {t}", "{s} in {n}", "{s} near {n}", "{s} {t}", "best {s} in {t}",
                           "{s} around {n}", "{s} open in {t}", "{s}s in {t}"]).format(
            s=s, t=t, n=_pick(rng, NEIGHBOURHOODS_MORE + NEIGHBOURHOODS)).replace("ss in", "s in"), {"maps"}
    return _pick(rng, OUTDOOR_FORMS).format(o=_pick(rng, OUTDOORS), s=_pick(rng, NATURE_SPOTS), t=t), {"maps"}


def files_papers(rng):
    """Letters and papers named by who sent them, notes named by their meeting."""
    import generate_queries as gq
    if rng.random() < 0.5:
        return _pick(rng, LETTER_FORMS).format(i=_pick(rng, LETTER_ISSUERS), k=_pick(rng, gq.DOC_KINDS),
                                               m=_pick(rng, gq.MONTHS)), {"files"}
    return _pick(rng, NOTE_FORMS).format(n=_pick(rng, NOTES), t=_pick(rng, NOTE_TOPICS)), {"files"}


def knowledge_places(rng):
    import generate_queries as gq
    k = _pick(rng, COUNTRIES_MORE + gq.COUNTRIES)
    f = _pick(rng, FAR_PLACES + COUNTRIES_MORE + gq.COUNTRIES + gq.CITIES)
    r = rng.random()
    if r < 0.35:
        return _pick(rng, PLACE_FACTS).format(k=k, f=f), {"knowledge"}
    if r < 0.55:
        return _pick(rng, FALL_FORMS).format(e=_pick(rng, EMPIRES)), {"knowledge"}
    if r < 0.75:
        a, b = _pick(rng, FEATURES)
        return _pick(rng, ["{a} {b} in {r}", "the {a} {b} in {r}", "what is the {a} {b} in {r}",
                           "which is the {a} {b} in {r}", "{a} {b} of {r}", "{r} {a} {b}",
                           "name the {a} {b} in {r}"]).format(a=a, b=b, r=_pick(rng, REGIONS)), {"knowledge"}
    s, v = _pick(rng, HOW_WHY)
    return _pick(rng, HOW_WHY_FORMS).format(s=s, v=v), {"knowledge"}


def people_or_contacts(rng):
    """A famous name typed alone asks for an article; an ordinary full name is a contact (no source)."""
    if rng.random() < 0.5:
        return _pick(rng, FAMOUS_FORMS).format(_pick(rng, FAMOUS_MORE)), {"knowledge"}
    import generate_queries as gq
    f, l = _pick(rng, FIRST_MORE + gq.FIRST), _pick(rng, LAST_MORE + gq.LAST)
    return _pick(rng, CONTACT_FORMS).format(f=f, l=l, F=f.capitalize(), L=l.capitalize()), set()


def definition_of_anything(rng):
    """A definition asked outright goes to the dictionary, even for a word that looks like a concept."""
    pool = _pick(rng, [LEXICON_CONCEPTS, CONCEPTS, LEXICON_RARE_NOUNS, LEXICON_RARE, LEXICON_SCIENCE])
    return _pick(rng, DEF_FORMS).format(d=_pick(rng, DEF_WORDS), w=_pick(rng, pool)), {"dictionary"}


def bare_terms(rng):
    """A rare noun typed alone asks for its definition; an organ, cell or compound for its article."""
    r = rng.random()
    if r < 0.5:
        text, labels = _pick(rng, LEXICON_RARE_NOUNS), {"dictionary"}
    elif r < 0.8:
        text, labels = _pick(rng, LEXICON_SCIENCE), {"knowledge"}
    else:
        text, labels = _pick(rng, LEXICON_CONCEPTS), {"knowledge"}
    r = rng.random()
    if r < 0.1:
        text = text.capitalize()
    elif r < 0.18:
        text += "?"
    return text, labels


def weather_garments(rng):
    import generate_queries as gq
    t = _pick(rng, WEATHER_WHEN + ["in " + _pick(rng, gq.CITIES)])
    return f"{_pick(rng, GARMENT_VERBS)} {_pick(rng, GARMENTS)} {t}".strip(), {"weather"}


def in_touch(rng):
    p, w = _pick(rng, TOUCH_PEOPLE), _pick(rng, SENT_WHEN)
    if rng.random() < 0.2:
        return _pick(rng, BUSINESS_FORMS).format(b=_pick(rng, BUSINESSES), x=_pick(rng, BUSINESS_SUBJECTS)), {
            "messages"}
    if rng.random() < 0.4:
        return _pick(rng, TOUCH_FORMS).format(p=p), {"messages"}
    return _pick(rng, SENT_FORMS).format(t=_pick(rng, SENT_THINGS), p=p, w=w), {"messages"}


def files_named(rng):
    r = rng.random()
    if r < 0.3:
        return _pick(rng, FILE_WITH_FORMS).format(k=_pick(rng, FILE_KINDS), c=_pick(rng, FILE_CONTENTS)), {"files"}
    if r < 0.6:
        return _pick(rng, TRIP_FORMS).format(p=_pick(rng, TRIP_PHOTOS), w=_pick(rng, TRIP_WHERE)), {"files"}
    return _pick(rng, BUILD_FORMS).format(_pick(rng, BUILD_FILES)), {"files"}


def launcher_things(rng):
    """Utilities, apps, calendar questions and emoji: none of the router's sources answers them."""
    r = rng.random()
    if r < 0.3:
        u = _pick(rng, UTILITIES)
        form = _pick(rng, UTILITY_FORMS)
        return (u.replace(" ", "") if rng.random() < 0.1 else form.format(u)), set()
    if r < 0.5:
        return _pick(rng, SYSTEM_ACTIONS), set()
    if r < 0.75:
        return _pick(rng, CAL_FORMS).format(o=_pick(rng, CAL_OWNERS), e=_pick(rng, CAL_EVENTS_MORE),
                                            t=_pick(rng, CAL_WHEN)), set()
    e = _emoji(rng)
    return _pick(rng, [e, e, e + e, e + " " + _emoji(rng), e + " emoji", "emoji " + e, e * 3]), set()


def venues(rng):
    import generate_queries as gq
    v = _pick(rng, VENUES)
    vs = v[:-1] if v.endswith("s") else v
    return _pick(rng, VENUE_FORMS).format(d=_pick(rng, DIETS), v=v, vs=vs, c=_pick(rng, gq.CITIES),
                                          n=_pick(rng, NEIGHBOURHOODS)), {"maps"}


FAMILIES_MORE = [knowledge_places, knowledge_places, knowledge_works_events, people_or_contacts,
                 definition_of_anything, bare_terms, bare_terms, in_touch, in_touch, files_named, files_named,
                 files_papers, launcher_things, launcher_things, venues, maps_more, weather_garments]


def family_query_more(rng):
    return _pick(rng, FAMILIES_MORE)(rng)

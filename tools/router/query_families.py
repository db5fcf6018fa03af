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

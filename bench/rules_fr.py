"""A French rule base for the engine benchmark.

A lexicon of frequent French words (and the punctuation tokens of the
tokenizer) mapped to part-of-speech labels, and chunk rules over those labels.
The words were picked from the most frequent tokens of the benchmark corpus
(French manual pages), so a large share of the tokens get a label and the
chunk rules match often.

The engine tries windows of at most (pieces of the longest key - 1) labels:
the four-piece key below makes it try windows of three, two and one labels,
so DET+ADJ+NOM and the three-label rules are reachable.
"""

from __future__ import annotations

_WORDS = {
    "DET": """le la les l' l’ un une des du au aux ce cet cette ces son sa ses leur leurs mon ma mes
              ton ta tes notre nos votre vos chaque tout toute tous toutes aucun aucune plusieurs
              quelques certains certaines Le La Les L' L’ Un Une Des Du Au Ce Cet Cette Ces Son Sa
              Ses Leur Chaque Tout Toute Tous Toutes Aucun Aucune Plusieurs""",
    "PREP": """de d' d’ à par pour en dans sur avec sans sous vers entre depuis avant après chez
               contre selon lors malgré pendant jusqu' parmi via De D' À Par Pour En Dans Sur Avec
               Sans Sous Vers Entre Depuis Avant Après Selon Lors Pendant""",
    "CONJ": """et ou mais donc car ni que qu' si lorsque quand puis comme Et Ou Mais Donc Car Si
               Lorsque Quand Comme Que""",
    "PRON": """il ils elle elles on nous vous je tu qui se s' y lui ceux celle celui cela ceci ça
               dont où Il Ils Elle Elles On Nous Vous Je Cela Ceci""",
    "ADV": """ne n' n’ pas plus moins très aussi toujours jamais seulement également déjà ensuite
              alors ainsi encore souvent bien mal peu trop tard tôt ici là actuellement
              simplement directement automatiquement Ne N' Pas Plus Aussi Alors Ainsi""",
    "VERB": """est sont a ont être avoir peut peuvent doit doivent sera seront était étaient fait
               font permet permettent utilise utilisent affiche affichent indique contient existe
               correspond définit renvoie renvoyer afficher utiliser indiquer créer lire écrire
               modifier exécuter envoyer reporter quitter consultez veuillez voir pouvez devez
               faut été utilisé utilisée utilisés utilisées indiqué indiquée créé créée défini
               définie Afficher Utiliser Lire Voir""",
    "NOM": """fichier fichiers option options commande commandes nom noms valeur valeurs système
              systèmes défaut ligne lignes version versions traduction manuel page pages liste
              listes interpréteur sortie entrée processus répertoire répertoires variable
              variables utilisateur utilisateurs caractère caractères mode exemple format
              paquet paquets données nombre chaîne chaînes message messages argument arguments
              erreur erreurs type types programme programmes cas mot mots paramètre paramètres
              périphérique périphériques informations information charge état états noyau
              mémoire configuration espace développement bogue bogues fonction fonctions forme
              environnement documentation utilisation numéro exécution fois distribution
              conditions champ champs compression octets octet groupe groupes copie contrôle
              socket source chemin chemins aide temps adresse adresses tableau texte code motif
              serveur bloc blocs liens lien historique fin terminal comportement appel partie
              recherche accès signal signaux façon suite lecture ensemble script niveau
              contenu client disque montage interface ordre lieu taille standard licence
              langue langues machine réseau accent lettre police clé clés droits droit
              propriétaire session bibliothèque noyau""",
    "ADJ": """premier première dernier dernière même autre autres nouveau nouvelle nouveaux
              nouvelles seul seule seuls seules suivant suivante suivants suivantes possible
              possibles disponible disponibles actuel actuelle actuels actuelles interne
              internes externe externes libre libres standard spécial spéciale spéciaux
              spéciales valide valides vide vides long longue longs longues court courte grand
              grande grands grandes petit petite petits petites local locale locaux locales
              global globale globaux globales courant courante principal principale utile
              utiles différent différente différents différentes complet complète entier
              entière numérique numériques binaire binaires française""",
    "PONCT": ". , ; : ! ? ... « » ( ) - –",
}


def lexicon() -> dict[str, str]:
    """Word -> label. A word listed under two labels keeps the first one."""
    out: dict[str, str] = {}
    for label, words in _WORDS.items():
        for word in words.split():
            out.setdefault(word, label)
    return out


CHUNKS = {
    "DET+NOM": "GN",
    "DET+ADJ+NOM": "GN",
    "DET+NOM+ADJ": "GN",
    "ADJ+NOM": "GN",
    "PREP+NOM": "GP",
    "PREP+DET+NOM": "GP",
    "PRON+VERB": "GV",
    "PRON+ADV+VERB": "GV",
    "VERB+ADV": "GV",
    # Four pieces: windows of three labels are tried. It never matches a
    # window of plain labels itself (the widest window holds three).
    "PREP+DET+ADJ+NOM": "GP",
}


def ruleset() -> dict[str, str]:
    rules = lexicon()
    rules.update(CHUNKS)
    return rules


if __name__ == "__main__":
    rules = ruleset()
    print(f"{len(rules)} rules, {len(CHUNKS)} of them chunk rules")

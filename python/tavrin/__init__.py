"""tavrin: labelling the records of a table with a large language model, checked by retrieval.

The modules load by their qualified names: tavrin.brollin, tavrin.palisk, tavrin.tessick,
tavrin.prompts, tavrin.olvane; tavrin.vectorstore holds the store and the embedding models,
tavrin.labeling the labelling job. The work is done by the C++ library (tavrin._native).
"""

__version__ = "0.1.0"

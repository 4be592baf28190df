# test_word_counter.py: the word counter, tested with pytest and no Kafka
import vesk.testing
from vesk_examples.word_counter import WordCounter


def test_counts_each_word():
    states = vesk.testing.run(WordCounter(), [("river", "river"), ("sea", "sea"), ("river", "river")])
    assert states == {"river": 2, "sea": 1}


def test_forget_drops_the_key_and_other_keys_stay():
    states = vesk.testing.run(WordCounter(), [("river", "forget")], states={"river": 5, "sea": 1})
    assert states == {"sea": 1}
